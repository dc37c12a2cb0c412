// What the Linux backend's services share: a HANDLE holds a file descriptor,
// text and data go out whole, drive letters name directories, a volume's
// device has a name, sysfs and xfs tell figures, the mount table is read one
// way, and what the file system keeps from every file is measured for the
// free space and for what the fill leaves alike.
#pragma once

#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

struct statfs;

// The types statfs gives ext2/3/4, xfs and btrfs.
constexpr long Ext4Magic = 0xEF53;  // ext2 and ext3 too
constexpr long XfsMagic = 0x58465342;
constexpr long BtrfsMagic = 0x9123683E;

inline int Descriptor(HANDLE Handle)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(Handle));
}

inline HANDLE HandleOf(int Fd)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(Fd));
}

// Writes all of Buffer, retrying after signals. Returns the bytes written;
// fewer than Length means the descriptor refused the rest.
inline std::size_t WriteAll(int Fd, const void* Buffer, std::size_t Length)
{
    const char* Bytes = static_cast<const char*>(Buffer);
    std::size_t Done = 0;
    while (Done < Length) {
        ssize_t Now = write(Fd, Bytes + Done, Length - Done);
        if (Now < 0 && errno == EINTR)
            continue;
        if (Now <= 0)
            break;
        Done += static_cast<std::size_t>(Now);
    }
    return Done;
}

// Maps a drive root such as "Q:\" to its directory "/mnt/q". Anything else,
// including a drive letter followed by a path, is not a drive root.
bool DriveDirectory(LPCSTR Path, char (&Directory)[7]);

// The name of the block device of the volume Root is on, as sysfs and /dev
// name it (drive.cpp). False where sysfs does not know the volume's device.
bool DeviceName(const struct stat& Root, char (&Name)[NAME_MAX + 1]);

// Reads the unsigned number a sysfs or procfs file at Path holds into Value.
// False, with errno, where it cannot be read (drive.cpp).
bool ReadSysfsNumber(const char* Path, std::uint64_t& Value);

// What xfs tells anyone of its geometry: the block size in bytes, the blocks
// in an allocation group, the count of groups and the blocks of the data
// device.
struct XfsGeometry {
    std::uint64_t BlockSize;
    std::uint64_t GroupBlocks;
    std::uint64_t Groups;
    std::uint64_t DataBlocks;
};

// Reads the geometry from the 112 bytes XFS_IOC_FSGEOMETRY_V1 fills, as its
// fields lie there in the machine's order (groups.cpp).
XfsGeometry ParseXfsGeometry(const unsigned char (&Reply)[112]);

// Asks the xfs open as Fd for its geometry. False, with errno, where it is
// not xfs or does not tell (groups.cpp).
bool ReadXfsGeometry(int Fd, XfsGeometry& Geometry);

// Bytes in Blocks blocks of Size bytes, or the largest count there is where
// they would not fit in 64 bits.
inline std::uint64_t BlockBytes(std::uint64_t Blocks, std::uint64_t Size)
{
    return Size != 0 && Blocks > UINT64_MAX / Size ? UINT64_MAX : Blocks * Size;
}

// The allocation unit of the volume Volume in bytes, as the fill's own file
// showed it to any user when it was made there; 0 where no such file was
// made, or it did not show (file.cpp).
std::uint64_t FillClusterBytes(dev_t Volume);

// Whether ext4 keeps small files inside their inodes (inline_data) where the
// fill's own file was made, as that file showed it: 1, 0, or -1 where it did
// not show or no such file was made (file.cpp). Through an overlay, the
// file's device number is the overlay's own, so the answer is the file's,
// not a volume's.
int FillInlineData();

// Has the ext4 open as Fd write the blocks its journal holds (the fill
// file's map among them) to their place: true once it has, or where there
// is no journal, whose metadata the flush has written in place already.
// Root has the journal checkpointed (EXT4_IOC_CHECKPOINT); anyone else has
// the file system synced (syncfs), which commits the journal, then writes
// the device's waiting blocks, the committed ones among them.
inline bool WriteJournalInPlace(int Fd)
{
    constexpr unsigned long Checkpoint = _IOW('f', 43, std::uint32_t);
    std::uint32_t Flags = 0;
    return ioctl(Fd, Checkpoint, &Flags) == 0 || errno == ENODEV || syncfs(Fd) == 0;
}

// What Records bytes of a file's map, in clusters of Cluster bytes, keep
// of what they held once the journal has written the map to its place: on
// ext4's bigalloc each block of the map has a cluster of its own, all but
// that block unwritten; where a cluster is a Block, nothing.
inline std::uint64_t RecordsLeftUnwritten(std::uint64_t Records, std::uint64_t Cluster, std::uint64_t Block)
{
    return Cluster > Block ? Records - Records / Cluster * Block : 0;
}

// The bytes of the blocks that hold the map of the fill's own file, open
// and not yet moved (ext4's extent tree, ext3's indirect blocks), which go
// free with it; 0 where no such file is open (file.cpp).
std::uint64_t FillRecordBytes();

// The blocks of ext4's reserved cluster pool on the volume whose device is
// Name, of BlockSize bytes: the clusters sysfs counts in it, times the
// blocks to a cluster (more than one only on bigalloc), from the superblock,
// which root can read, or else ClusterBytes, the cluster a file showed;
// where neither tells, one block: the pool at its smallest, so that free
// space left by the fill is never hidden. False, with errno, where sysfs
// has no count (remains.cpp).
bool Ext4PoolBlocks(const char* Name, std::uint64_t BlockSize, std::uint64_t ClusterBytes, std::uint64_t& Blocks);

// One line of the mount table (/proc/self/mountinfo), decoded in place: the
// mount's id, its device number, its mount point, its type, its source and,
// for an overlay, the directory of its upper layer (else null); the strings
// point into the line.
struct MountLine {
    unsigned long long Id;
    dev_t Device;
    const char* Point;
    const char* Type;
    const char* Source;
    const char* Upper;
};

// Reads Line, one line of the mount table, into Mount, decoding the escapes
// the table writes for a blank, a tab, a newline, a backslash and, in an
// option, a comma. False where the line is not of that form (mounts.cpp).
bool ParseMountLine(char* Line, MountLine& Mount);

// How the move onto the fill (refill.cpp) sees a drive: groups of Bytes
// each (ext4's block groups, xfs's allocation groups), Count of them, the
// first starting First bytes into the drive.
struct GroupLayout {
    std::uint64_t Bytes;
    std::uint64_t Count;
    std::uint64_t First;
};

// Reads the superblock of the ext2/3/4 device Name (as /dev names it), 1024
// bytes into it. False where it cannot be read, as an ordinary user cannot
// read the device, or is not ext's (groups.cpp, as the two below).
bool ReadExt4Superblock(const char* Name, unsigned char (&Super)[1024]);

// The blocks to a cluster, by the superblock Super: more than one on
// bigalloc. False where the sizes it gives make no sense.
bool SuperblockBlocksPerCluster(const unsigned char (&Super)[1024], std::uint64_t& PerCluster);

// The groups of the drive, by the superblock Super. False where the
// figures it gives make no sense.
bool SuperblockGroups(const unsigned char (&Super)[1024], GroupLayout& Layout);

// The groups of a file system of type Type (statfs's), of blocks of
// BlockSize bytes allocated in clusters of ClusterBytes (0: a block), on a
// drive of DriveBytes, and for xfs of its geometry Xfs (null where
// unknown): the whole drive as one group where the type has none.
GroupLayout LayoutGroups(long Type, std::uint64_t BlockSize, std::uint64_t ClusterBytes, std::uint64_t DriveBytes,
                         const XfsGeometry* Xfs);

// The groups of the file system open as Fd, of Volume, for the file of
// status File made there by the fill: from the device's size (sysfs), the
// cluster the file showed, and xfs's geometry (groups.cpp).
GroupLayout DriveGroups(int Fd, const struct statfs& Volume, const struct stat& File);

// The group that holds the byte at Physical.
std::uint64_t GroupOfByte(std::uint64_t Physical, const GroupLayout& Layout);

// How much of Remaining bytes from Physical on lies in Physical's group.
std::uint64_t StretchLength(std::uint64_t Physical, std::uint64_t Remaining, const GroupLayout& Layout);

// Where on the drive the byte at Logical of the file open as Fd lies;
// UINT64_MAX where it lies nowhere (groups.cpp, as the five below).
std::uint64_t PlaceOf(int Fd, std::uint64_t Logical);

// The group of the byte at Logical of the file open as Fd, else Layout.Count.
std::uint64_t GroupOf(int Fd, const GroupLayout& Layout, std::uint64_t Logical);

// What a file holds in one group: its bytes there, and where in the file
// the first of them lies and the last ends.
struct GroupTally {
    std::uint64_t Bytes;
    std::uint64_t FirstLogical;
    std::uint64_t EndLogical;
};

// Tallies, in one pass over the map of the file open as Fd, what its first
// Size bytes hold in each of the Layout.Count groups, into Tally; returns
// what they hold in all.
std::uint64_t TallyGroups(int Fd, const GroupLayout& Layout, std::uint64_t Size, GroupTally* Tally);

// The group the requests, now in RequestGroup, reach last of those where
// the file still holds bytes, by Tally; Layout.Count where none does.
std::uint64_t GroupReachedLast(const GroupLayout& Layout, const GroupTally* Tally, std::uint64_t RequestGroup);

// The next stretch of the file's first Size bytes from From on in Group:
// sets its start in the file and on the drive, and returns its length, 0
// where there is none.
std::uint64_t NextStretchIn(int Fd, const GroupLayout& Layout, std::uint64_t From, std::uint64_t Size,
                            std::uint64_t Group, std::uint64_t& Start, std::uint64_t& Physical);

// A stretch of a file in one group: its start in the file and on the drive,
// and its length, in bytes.
struct FileStretch {
    std::uint64_t Logical;
    std::uint64_t Physical;
    std::uint64_t Length;
};

// Lists in Top the up to Room stretches of the file's bytes from From to To
// that lie highest in Group, highest first; returns their count.
std::size_t HighestStretchesIn(int Fd, const GroupLayout& Layout, std::uint64_t From, std::uint64_t To,
                               std::uint64_t Group, FileStretch* Top, std::size_t Room);

// A piece of the drive: where it starts and how long it is, in bytes.
struct DrivePiece {
    std::uint64_t Physical;
    std::uint64_t Length;
};

// The pieces of the drive the move has freed, which hold the fill: Count
// of them in Pieces, room for Room.
struct PieceList {
    DrivePiece* Pieces;
    std::size_t Count;
    std::size_t Room;
};

// Adds the Length bytes at Physical to List, as part of its last piece
// where they go on from it; where there is no room, they go unlisted, and
// are then counted as unwritten.
inline void NotePiece(PieceList& List, std::uint64_t Physical, std::uint64_t Length)
{
    if (List.Count != 0 && List.Pieces[List.Count - 1].Physical + List.Pieces[List.Count - 1].Length == Physical)
        List.Pieces[List.Count - 1].Length += Length;
    else if (List.Count < List.Room)
        List.Pieces[List.Count++] = {Physical, Length};
}

// Puts List's pieces in the drive's order, as one where they overlap or
// touch (remains.cpp).
void SortPieces(PieceList& List);

// The fill's file as the move sees it: open as Fd, taken in units of Unit
// bytes, with the fill's data of WindowUnits units at Data.
struct MoveFile {
    int Fd;
    std::uint64_t Unit;
    const unsigned char* Data;
    std::uint64_t WindowUnits;
};

// Writes the fill over the Count bytes of File from At on, whole units,
// each with the data the window holds for its place; 0, or the errno of the
// write that failed (EIO where one was short) (aim.cpp).
int WriteFill(const MoveFile& File, std::uint64_t At, std::uint64_t Count);

// What taking the unwritten free blocks did: the bytes taken and written,
// the bytes of the file freed for them, and the errno of a call that
// failed, 0 where none did.
struct AimResult {
    std::uint64_t Taken;
    std::uint64_t Freed;
    int Error;
};

// The pieces the taking may add to the list the move keeps: 1 MiB.
constexpr std::size_t AimedPieces = 65536;

// Takes, on xfs, the free blocks its map shows outside the pieces Written
// (the free blocks no fill wrote) into File, past its last unit at Last,
// each in exchange for a block of the file in the same group, counted
// afresh into Tally (room for every group); the freed blocks go on Written
// (aim.cpp).
AimResult TakeUnwritten(const MoveFile& File, const GroupLayout& Layout, GroupTally* Tally, PieceList& Written,
                        std::uint64_t Last);

// Frees, of the first Size bytes of the file open as Fd, runs of Run bytes
// of its blocks, every other one in the file's order, up to Want bytes or
// a run more, noting them on Written; returns the bytes freed, or sets
// Error (groups.cpp).
std::uint64_t FreeEveryOther(int Fd, const GroupLayout& Layout, std::uint64_t Size, std::uint64_t Run,
                             std::uint64_t Want, PieceList& Written, int& Error);

// Takes, on ext4, the large free pieces its map shows, into File past its
// last unit at Last: frees as much of the file as is free, in small runs,
// and asks for it again in large requests, which only large free pieces
// serve (aim.cpp).
AimResult TakeLargePieces(const MoveFile& File, const GroupLayout& Layout, PieceList& Written, std::uint64_t Last);

// The bytes of the Length bytes from Start on that lie in the Count pieces
// Sorted, which are in the drive's order and do not overlap (remains.cpp, as
// the next two).
std::uint64_t OverlapBytes(std::uint64_t Start, std::uint64_t Length, const DrivePiece* Sorted, std::size_t Count);

// Adds to Gaps, up to Room of them (Found so far), the pieces of the Length
// bytes from Start on that lie outside the Count pieces Sorted.
void AddGaps(std::uint64_t Start, std::uint64_t Length, const DrivePiece* Sorted, std::size_t Count,
             DrivePiece* Gaps, std::size_t Room, std::size_t& Found);

// Reads the map of the file system open as Fd (FS_IOC_GETFSMAP, which ext4
// and xfs answer for any user) for its free space: sets Free to the bytes
// free in all, Unwritten to those outside the Count pieces Written (in the
// drive's order), and lists the first Room of those in Gaps, in the drive's order,
// their number in Found. False, with errno, where it cannot be read.
bool MapFreeSpace(int Fd, const DrivePiece* Written, std::size_t Count, std::uint64_t& Free, std::uint64_t& Unwritten,
                  DrivePiece* Gaps = nullptr, std::size_t Room = 0, std::size_t* Found = nullptr);

// Sets Free to the bytes free inside the metadata block groups of the btrfs
// open as Fd, as BTRFS_IOC_SPACE_INFO tells any user. False, with errno,
// where it does not tell (remains.cpp).
bool BtrfsMetadataFree(int Fd, std::uint64_t& Free);

// Whether Path, a resolved path, is a mount point the mount table lists
// (mounts.cpp).
bool IsListedMountPoint(const char* Path);

// Finds in the mount table the mount the file or directory open as Fd is
// on, by its mount id: its mount point, its type, its source and, for an
// overlay, the directory of its upper layer (else empty). False where the
// table does not list it, or a field is too long for its buffer (mounts.cpp).
bool FindMount(int Fd, char (&Point)[PATH_MAX], char (&Type)[NAME_MAX + 1], char (&Source)[PATH_MAX],
               char (&Upper)[PATH_MAX]);

// Opens Directory to ask its volume for its free space or its trim: for an
// overlay, the directory of its upper layer, which holds the files made
// through it, where this process can reach it; else Directory itself, with
// Below set where it is an overlay whose layers this process cannot reach.
// -1 where Directory cannot be opened (mounts.cpp).
int OpenVolume(const char* Directory, bool& Below);

// Whether the kernel gives this process the blocks ext2/3/4 reserve on the
// device Name (reserve.cpp).
bool MayUseReserve(const char* Name);
