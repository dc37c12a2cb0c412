// What the Linux backend's services share: a HANDLE holds a file descriptor,
// text and data go out whole, drive letters name directories and one drive is
// entered, a volume's device has a name, and what the file system keeps from
// every file is measured for the free space and for the trim alike.
#pragma once

#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <unistd.h>

struct statfs;

// The types statfs gives ext2/3/4 and xfs.
constexpr long Ext4Magic = 0xEF53;  // ext2 and ext3 too
constexpr long XfsMagic = 0x58465342;

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

// The letter, in lower case, of the drive whose root is the current
// directory; NUL until one is entered.
extern char CurrentDrive;

// Bytes in Blocks blocks of Size bytes, or the largest count there is where
// they would not fit in 64 bits.
inline std::uint64_t BlockBytes(std::uint64_t Blocks, std::uint64_t Size)
{
    return Size != 0 && Blocks > UINT64_MAX / Size ? UINT64_MAX : Blocks * Size;
}

// Notes the allocation unit of the volume the new, empty file open as Fd is
// on, as the file's own allocation shows it to any user, for the free space
// of that volume: two bytes are written and taken away again.
void MeasureCluster(int Fd);

// The blocks of ext4's reserved cluster pool on the volume whose root is Root
// and whose device is Name: the clusters sysfs counts in it, times the blocks
// to a cluster, which only a file system made with bigalloc has more than one
// of. They come from the superblock, which root can read, or else from the
// fill's file, once it is made. Until then, for an ordinary user, a cluster
// is taken for one block: the pool at its smallest, so that free space left
// by the fill is never hidden. False where sysfs has no count (kept.cpp).
bool Ext4PoolBlocks(const struct stat& Root, const char* Name, std::uint64_t BlockSize, std::uint64_t& Blocks);

// The bytes of free space that the file system open as Fd (of Volume, whose
// root is Root) keeps from every file, and who keeps them (Keeper, as
// GetUntrimmedFreeSpace tells it): ext4's reserved cluster pool, the free
// blocks xfs lists beyond those statfs counts, or what a ZFS pool keeps back;
// 0 where it keeps none; KEPT_SIZE_UNKNOWN where it keeps some that could not
// be measured (kept.cpp).
std::uint64_t KeptFreeBytes(int Fd, const struct statfs& Volume, const struct stat& Root, DWORD& Keeper);

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
