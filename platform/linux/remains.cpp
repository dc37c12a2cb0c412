// What the fill leaves, on Linux: the free space the file system keeps from
// every file, which no fill reaches and which keeps what deleted files left
// there until a trim clears it, and whether a trim can. On ext4, its
// reserved cluster pool, which only the file system itself may use: its
// clusters from sysfs, the blocks to a cluster from the superblock or, for
// an ordinary user, who cannot read it, from the fill's own file. On xfs,
// the free blocks its free-space trees list beyond those statfs counts (its
// per-group reservations). On btrfs, the free space inside its metadata
// block groups, where it keeps files of up to 2 KiB and every name, and
// writes each change to a new place: a file's data never goes there. A ZFS
// pool keeps part of itself, and says not how much; an overlay's upper layer
// may be out of reach. Measured once, when the fill has taken all it can,
// and handed on as one value.

#include "internal.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <linux/fs.h>
#include <linux/fsmap.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

bool Ext4PoolBlocks(const char* Name, std::uint64_t BlockSize, std::uint64_t ClusterBytes, std::uint64_t& Blocks)
{
    char Path[PATH_MAX];
    std::uint64_t Clusters = 0;
    std::snprintf(Path, sizeof Path, "/sys/fs/ext4/%s/reserved_clusters", Name);
    if (!ReadSysfsNumber(Path, Clusters) || BlockSize == 0)
        return false;
    std::uint64_t PerCluster = 1;
    unsigned char Super[1024];
    if (!(ReadExt4Superblock(Name, Super) && SuperblockBlocksPerCluster(Super, PerCluster)) && ClusterBytes > BlockSize)
        PerCluster = ClusterBytes / BlockSize;
    Blocks = BlockBytes(Clusters, PerCluster);
    return true;
}

void SortPieces(PieceList& List)
{
    std::sort(List.Pieces, List.Pieces + List.Count,
              [](const DrivePiece& A, const DrivePiece& B) { return A.Physical < B.Physical; });
    // A block freed, taken again and freed once more is listed twice; once
    // merged, no free block is counted twice as written.
    std::size_t Kept = 0;
    for (std::size_t Index = 0; Index < List.Count; ++Index) {
        DrivePiece& Last = List.Pieces[Kept - (Kept != 0)];
        const DrivePiece Piece = List.Pieces[Index];
        if (Kept != 0 && Piece.Physical <= Last.Physical + Last.Length)
            Last.Length = std::max(Last.Length, Piece.Physical + Piece.Length - Last.Physical);
        else
            List.Pieces[Kept++] = Piece;
    }
    List.Count = Kept;
}

std::uint64_t OverlapBytes(std::uint64_t Start, std::uint64_t Length, const DrivePiece* Sorted, std::size_t Count)
{
    // The first piece that ends after Start, then on while they begin
    // before the end.
    const auto EndsAfter = [](std::uint64_t At, const DrivePiece& P) { return At < P.Physical + P.Length; };
    const DrivePiece* Piece = std::upper_bound(Sorted, Sorted + Count, Start, EndsAfter);
    std::uint64_t Overlap = 0;
    for (; Piece != Sorted + Count && Piece->Physical < Start + Length; ++Piece)
        Overlap += std::min(Start + Length, Piece->Physical + Piece->Length) - std::max(Start, Piece->Physical);
    return Overlap;
}

void AddGaps(std::uint64_t Start, std::uint64_t Length, const DrivePiece* Sorted, std::size_t Count,
             DrivePiece* Gaps, std::size_t Room, std::size_t& Found)
{
    const auto EndsAfter = [](std::uint64_t At, const DrivePiece& P) { return At < P.Physical + P.Length; };
    const DrivePiece* Piece = std::upper_bound(Sorted, Sorted + Count, Start, EndsAfter);
    for (std::uint64_t At = Start, End = Start + Length; At < End && Found < Room; ++Piece) {
        const std::uint64_t Next = Piece != Sorted + Count ? std::min(std::max(Piece->Physical, At), End) : End;
        if (Next > At)
            Gaps[Found++] = {At, Next - At};
        if (Piece == Sorted + Count)
            break;
        At = std::max(At, Piece->Physical + Piece->Length);
    }
}

bool MapFreeSpace(int Fd, const DrivePiece* Written, std::size_t Count, std::uint64_t& Free, std::uint64_t& Unwritten,
                  DrivePiece* Gaps, std::size_t Room, std::size_t* Found)
{
    // FS_IOC_GETFSMAP hands out a batch of records at a time, each batch
    // going on after the last record of the one before.
    constexpr unsigned Batch = 128;
    alignas(struct fsmap_head) unsigned char Buffer[sizeof(struct fsmap_head) + Batch * sizeof(struct fsmap)] = {};
    struct fsmap_head* const Head = reinterpret_cast<struct fsmap_head*>(Buffer);
    Head->fmh_count = Batch;
    Head->fmh_keys[1].fmr_device = UINT32_MAX;
    Head->fmh_keys[1].fmr_flags = UINT32_MAX;
    Head->fmh_keys[1].fmr_physical = Head->fmh_keys[1].fmr_owner = Head->fmh_keys[1].fmr_offset = UINT64_MAX;
    Free = Unwritten = 0;
    std::size_t Listed = 0;
    for (;;) {
        if (ioctl(Fd, FS_IOC_GETFSMAP, Head) != 0)
            return false;
        if (Head->fmh_entries == 0)
            break;
        const struct fsmap& Last = Head->fmh_recs[Head->fmh_entries - 1];
        for (unsigned Index = 0; Index < Head->fmh_entries; ++Index) {
            const struct fsmap& Record = Head->fmh_recs[Index];
            if (Record.fmr_owner != FMR_OWN_FREE)
                continue;
            const std::uint64_t Outside =
                Record.fmr_length - OverlapBytes(Record.fmr_physical, Record.fmr_length, Written, Count);
            Free += Record.fmr_length;
            Unwritten += Outside;
            if (Outside != 0 && Gaps != nullptr)
                AddGaps(Record.fmr_physical, Record.fmr_length, Written, Count, Gaps, Room, Listed);
        }
        if ((Last.fmr_flags & FMR_OF_LAST) != 0)
            break;
        Head->fmh_keys[0] = Last;
    }
    if (Found != nullptr)
        *Found = Listed;
    return true;
}

bool BtrfsMetadataFree(int Fd, std::uint64_t& Free)
{
    // The kinds of space the file system has, a few at a time: data,
    // system, metadata, each perhaps in several profiles, and the global
    // reserve, which is a share of the metadata's own and so not counted
    // again. A block group of data and metadata at once (a small drive's
    // mixed groups) takes a file's data too.
    constexpr unsigned Kinds = 16;
    alignas(btrfs_ioctl_space_args) unsigned char
        Buffer[sizeof(btrfs_ioctl_space_args) + Kinds * sizeof(btrfs_ioctl_space_info)] = {};
    btrfs_ioctl_space_args& Space = *reinterpret_cast<btrfs_ioctl_space_args*>(Buffer);
    Space.space_slots = Kinds;
    if (ioctl(Fd, BTRFS_IOC_SPACE_INFO, Buffer) != 0)
        return false;
    Free = 0;
    for (std::uint64_t Index = 0; Index < std::min<std::uint64_t>(Space.total_spaces, Kinds); ++Index) {
        const btrfs_ioctl_space_info& Kind = Space.spaces[Index];
        if ((Kind.flags & BTRFS_BLOCK_GROUP_METADATA) != 0 && (Kind.flags & BTRFS_BLOCK_GROUP_DATA) == 0 &&
            (Kind.flags & BTRFS_SPACE_INFO_GLOBAL_RSV) == 0 && Kind.total_bytes > Kind.used_bytes)
            Free += Kind.total_bytes - Kind.used_bytes;
    }
    return true;
}

// Whether the file system open as Fd, of Volume, is ZFS: the kernel's own
// module, or zfs-fuse, a FUSE file system whose type the mount table names.
static bool IsZfs(int Fd, const struct statfs& Volume)
{
    constexpr long ZfsMagic = 0x2FC12FC1, FuseMagic = 0x65735546;
    char Point[PATH_MAX], Type[NAME_MAX + 1], Source[PATH_MAX], Upper[PATH_MAX];
    if (Volume.f_type == ZfsMagic)
        return true;
    return Volume.f_type == FuseMagic && FindMount(Fd, Point, Type, Source, Upper) &&
           (std::strcmp(Type, "fuse.zfs-fuse") == 0 || std::strcmp(Type, "fuse.zfs") == 0);
}

// The bytes of free space that the file system open as Fd (of Volume, whose
// root is Root) keeps from every file, and who keeps them, into Found:
// ext4's reserved cluster pool, the free blocks xfs lists beyond those
// statfs counts, btrfs's metadata free space, or what a ZFS pool keeps back;
// 0 where it keeps none;
// KEPT_SIZE_UNKNOWN, with the system's Error, where it keeps some that could
// not be measured.
static void MeasureKept(int Fd, const struct statfs& Volume, const struct stat& Root, Remains& Found)
{
    // A ZFS pool keeps part of itself (zfs-fuse: the larger of 1/64 of the
    // pool and 32 MiB; OpenZFS: 1/32, within limits) from every file, and
    // how much is left is the pool's to tell, not the file system's.
    Found.Keeper = KEPT_BY_FILE_SYSTEM;
    Found.KeptBytes = 0;
    if (IsZfs(Fd, Volume)) {
        Found.Keeper = KEPT_BY_POOL;
        Found.KeptBytes = KEPT_SIZE_UNKNOWN;
        return;
    }
    char Name[NAME_MAX + 1];
    std::uint64_t Pool = 0, Listed = 0, Unwritten = 0;
    if (Volume.f_type == Ext4Magic) {
        const int Inline = FillInlineData();
        Found.InodeData = Inline < 0 ? INODE_DATA_UNKNOWN : Inline != 0 ? TRUE : FALSE;
        // The journal has the blocks of the fill file's map written to their
        // place only once they are committed, never for a file deleted
        // before then, so that they keep what they held. Root may have it
        // checkpointed now, anyone else the file system synced; where
        // neither can be done, they are kept space, and on bigalloc the rest
        // of their clusters always is.
        const std::uint64_t Block = static_cast<std::uint64_t>(Volume.f_bsize);
        const std::uint64_t Cluster = std::max(Block, FillClusterBytes(Root.st_dev));
        const std::uint64_t Records = WriteJournalInPlace(Fd) ? RecordsLeftUnwritten(FillRecordBytes(), Cluster, Block)
                                                              : FillRecordBytes();
        if (DeviceName(Root, Name) && Ext4PoolBlocks(Name, Volume.f_bsize, FillClusterBytes(Root.st_dev), Pool)) {
            Found.KeptBytes = BlockBytes(Pool, Volume.f_bsize) + Records;
        } else {
            Found.KeptBytes = KEPT_SIZE_UNKNOWN;
            Found.Error = errno;
        }
    } else if (Volume.f_type == BtrfsMagic) {
        Found.KeptIn = KEPT_IN_METADATA;
        if (!BtrfsMetadataFree(Fd, Found.KeptBytes)) {
            Found.KeptBytes = KEPT_SIZE_UNKNOWN;
            Found.Error = errno;
        }
    } else if (Volume.f_type == XfsMagic) {
        const std::uint64_t Counted = BlockBytes(Volume.f_bfree, Volume.f_bsize);
        if (MapFreeSpace(Fd, nullptr, 0, Listed, Unwritten)) {
            Found.KeptBytes = Listed > Counted ? Listed - Counted : 0;
        } else {
            Found.KeptBytes = KEPT_SIZE_UNKNOWN;
            Found.Error = errno;
        }
    }
}

// The block device under the file system open as Fd, whose root is Root:
// its own device number where that is a block device's, as on ext4 and
// xfs; else the device its mount names, as btrfs numbers its mounts apart
// from its devices (the first of them, where it has several).
static dev_t BlockDevice(int Fd, const struct stat& Root)
{
    char Path[64], Point[PATH_MAX], Type[NAME_MAX + 1], Source[PATH_MAX], Upper[PATH_MAX];
    struct stat Device;
    std::snprintf(Path, sizeof Path, "/sys/dev/block/%u:%u", major(Root.st_dev), minor(Root.st_dev));
    if (access(Path, F_OK) == 0 || !FindMount(Fd, Point, Type, Source, Upper) || stat(Source, &Device) != 0 ||
        !S_ISBLK(Device.st_mode))
        return Root.st_dev;
    return Device.st_rdev;
}

// A figure of the queue of the block device Device, from sysfs (Name:
// discard_granularity, discard_max_bytes): a partition has its disk's queue.
// False where sysfs does not tell.
static bool QueueFigure(dev_t Device, const char* Name, std::uint64_t& Value)
{
    for (const char* Queue : {"queue", "../queue"}) {
        char Path[128];
        std::snprintf(Path, sizeof Path, "/sys/dev/block/%u:%u/%s/%s", major(Device), minor(Device), Queue, Name);
        if (ReadSysfsNumber(Path, Value))
            return true;
    }
    return false;
}

Remains MeasureRemains()
{
    Remains Found = {KEPT_SIZE_UNKNOWN, KEPT_BY_FILE_SYSTEM, DISCARD_SIZE_UNKNOWN, ERROR_NOT_SUPPORTED, 0,
                     KEPT_IN_FREE_SPACE, FALSE};
    bool Below;
    const int Fd = OpenVolume(".", Below);
    if (Fd < 0 || Below) {
        Found.Keeper = Below ? KEPT_BELOW : KEPT_BY_FILE_SYSTEM;
        Found.Error = Fd < 0 ? errno : 0;
        if (Fd >= 0)
            close(Fd);
        return Found;
    }
    struct statfs Volume;
    struct stat Root;
    std::uint64_t Granularity;
    const bool Known = fstatfs(Fd, &Volume) == 0 && fstat(Fd, &Root) == 0;
    const dev_t Device = Known ? BlockDevice(Fd, Root) : 0;
    if (!Known)
        Found.Error = errno;
    if (Known) {
        MeasureKept(Fd, Volume, Root, Found);
        if (QueueFigure(Device, "discard_granularity", Granularity))
            Found.SmallestDiscard = Granularity > static_cast<std::uint64_t>(Volume.f_bsize)
                                        ? static_cast<DWORD>(std::min<std::uint64_t>(Granularity, UINT32_MAX - 1))
                                        : 0;
    }
    // A range too short to discard anything: the file system checks who asks
    // and whether the device discards before it looks at the range, and then
    // refuses it, or trims nothing. Another user than root is refused before
    // the device is asked: where sysfs says the device does not discard, a
    // run as root would not trim either.
    struct fstrim_range Nothing = {0, 0, 0};
    const int Answer = ioctl(Fd, FITRIM, &Nothing) == 0 ? 0 : errno;
    std::uint64_t MostDiscarded = 1;
    const bool Discards = !Known || !QueueFigure(Device, "discard_max_bytes", MostDiscarded) || MostDiscarded != 0;
    close(Fd);
    if (Answer == 0 || Answer == EINVAL)
        Found.TrimRefusal = ERROR_SUCCESS;
    else
        Found.TrimRefusal = Answer == EPERM && Discards ? ERROR_ACCESS_DENIED : ERROR_NOT_SUPPORTED;
    return Found;
}
