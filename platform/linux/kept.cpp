// What a file system keeps from every file, on Linux: free space that no
// fill reaches, and that keeps what deleted files left there until a trim
// clears it. On ext4, its reserved cluster pool, which only the file system
// itself may use: its clusters from sysfs, the blocks to a cluster from the
// superblock or, for an ordinary user, who cannot read it, from the fill's
// own file. On xfs, the free blocks its free-space trees list beyond those
// statfs counts (its per-group reservations).

#include "internal.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fsmap.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>

// The blocks to a cluster of the ext4 device Name, as its superblock, 1024
// bytes into the device, gives them (little-endian): the magic number, the
// log2 of the block and cluster sizes in KiB, and the read-only-compatible
// features, of which 0x200 is bigalloc. False where it cannot be read, as an
// ordinary user cannot read the device.
static bool SuperblockBlocksPerCluster(const char* Name, std::uint64_t& PerCluster)
{
    char Path[PATH_MAX + 8];
    unsigned char Super[1024];
    std::snprintf(Path, sizeof Path, "/dev/%s", Name);
    const int Fd = open(Path, O_RDONLY | O_CLOEXEC);
    const bool Read = Fd >= 0 && pread(Fd, Super, sizeof Super, 1024) == static_cast<ssize_t>(sizeof Super);
    if (Fd >= 0)
        close(Fd);
    const auto Field = [&Super](int Offset) {
        return static_cast<std::uint32_t>(Super[Offset] | Super[Offset + 1] << 8 | Super[Offset + 2] << 16 |
                                          static_cast<std::uint32_t>(Super[Offset + 3]) << 24);
    };
    if (!Read || (Field(0x38) & 0xFFFF) != Ext4Magic)
        return false;
    const std::uint32_t LogBlock = Field(0x18);
    const std::uint32_t LogCluster = (Field(0x64) & 0x200) != 0 ? Field(0x1C) : LogBlock;
    if (LogCluster < LogBlock || LogCluster - LogBlock > 30)
        return false;
    PerCluster = std::uint64_t{1} << (LogCluster - LogBlock);
    return true;
}

// The cluster of the ext4 volume the fill's file is on, in bytes, as the file
// showed it to MeasureCluster, and that volume; 0 until then.
static std::uint64_t MeasuredCluster = 0;
static dev_t MeasuredVolume = 0;

void MeasureCluster(int Fd)
{
    // What a byte written just past the file's allocation adds to it is one
    // cluster: ext4 counts a cluster's blocks in the allocation as soon as
    // the byte is written, delayed or not. The allocation of a first byte
    // alone can count more, an extended-attribute block (a default ACL on a
    // drive of 128-byte inodes), or nothing, where the byte fits in the
    // inode; written at the end of the first block, it does not fit there.
    // The bytes go again at once, and the file is empty as it was made;
    // where it cannot be, the fill, which writes from the start, goes over
    // them.
    struct statfs Volume;
    struct stat First, Second;
    if (fstatfs(Fd, &Volume) != 0 || Volume.f_type != Ext4Magic || Volume.f_bsize <= 0 ||
        pwrite(Fd, "", 1, Volume.f_bsize - 1) != 1 || fstat(Fd, &First) != 0)
        return;
    const off_t Past = std::max<off_t>(static_cast<off_t>(First.st_blocks) * 512, Volume.f_bsize);
    if (pwrite(Fd, "", 1, Past) == 1 && fstat(Fd, &Second) == 0 && Second.st_blocks > First.st_blocks) {
        MeasuredCluster = static_cast<std::uint64_t>(Second.st_blocks - First.st_blocks) * 512;
        MeasuredVolume = Second.st_dev;
    }
    if (ftruncate(Fd, 0) != 0)
        return;
}

bool Ext4PoolBlocks(const struct stat& Root, const char* Name, std::uint64_t BlockSize, std::uint64_t& Blocks)
{
    char Path[PATH_MAX];
    unsigned long long Clusters = 0;
    std::snprintf(Path, sizeof Path, "/sys/fs/ext4/%s/reserved_clusters", Name);
    std::FILE* Pool = std::fopen(Path, "re");
    const bool Counted = Pool != nullptr && std::fscanf(Pool, "%llu", &Clusters) == 1;
    if (Pool != nullptr)
        std::fclose(Pool);
    if (!Counted || BlockSize == 0)
        return false;

    std::uint64_t PerCluster = 1;
    if (!SuperblockBlocksPerCluster(Name, PerCluster) && MeasuredVolume == Root.st_dev && MeasuredCluster > BlockSize)
        PerCluster = MeasuredCluster / BlockSize;
    Blocks = BlockBytes(Clusters, PerCluster);
    return true;
}

// The bytes of free space that xfs, open as Fd, lists in its free-space
// trees, as FS_IOC_GETFSMAP hands them out a batch of records at a time,
// each batch going on after the last record of the one before; 0 where it
// cannot tell (only root may ask, on kernels that check).
static std::uint64_t XfsListedFree(int Fd)
{
    constexpr unsigned Batch = 128;
    alignas(struct fsmap_head) static unsigned char Buffer[sizeof(struct fsmap_head) + Batch * sizeof(struct fsmap)];
    struct fsmap_head* const Head = reinterpret_cast<struct fsmap_head*>(Buffer);
    std::memset(Buffer, 0, sizeof Buffer);
    Head->fmh_count = Batch;
    Head->fmh_keys[1].fmr_device = UINT32_MAX;
    Head->fmh_keys[1].fmr_flags = UINT32_MAX;
    Head->fmh_keys[1].fmr_physical = Head->fmh_keys[1].fmr_owner = Head->fmh_keys[1].fmr_offset = UINT64_MAX;
    std::uint64_t Free = 0;
    while (ioctl(Fd, FS_IOC_GETFSMAP, Head) == 0 && Head->fmh_entries > 0) {
        const struct fsmap& Last = Head->fmh_recs[Head->fmh_entries - 1];
        for (unsigned Index = 0; Index < Head->fmh_entries; ++Index)
            if (Head->fmh_recs[Index].fmr_owner == FMR_OWN_FREE)
                Free += Head->fmh_recs[Index].fmr_length;
        if ((Last.fmr_flags & FMR_OF_LAST) != 0)
            return Free;
        Head->fmh_keys[0] = Last;
    }
    return 0;
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

std::uint64_t KeptFreeBytes(int Fd, const struct statfs& Volume, const struct stat& Root, DWORD& Keeper)
{
    // A ZFS pool keeps part of itself (zfs-fuse: the larger of 1/64 of the
    // pool and 32 MiB; OpenZFS: 1/32, within limits) from every file, and
    // how much is left is the pool's to tell, not the file system's.
    Keeper = KEPT_BY_FILE_SYSTEM;
    if (IsZfs(Fd, Volume)) {
        Keeper = KEPT_BY_POOL;
        return KEPT_SIZE_UNKNOWN;
    }
    char Name[NAME_MAX + 1];
    std::uint64_t Pool = 0;
    if (Volume.f_type == Ext4Magic)
        return DeviceName(Root, Name) && Ext4PoolBlocks(Root, Name, Volume.f_bsize, Pool)
                   ? BlockBytes(Pool, Volume.f_bsize)
                   : KEPT_SIZE_UNKNOWN;
    if (Volume.f_type == XfsMagic) {
        const std::uint64_t Listed = XfsListedFree(Fd), Counted = BlockBytes(Volume.f_bfree, Volume.f_bsize);
        if (Listed == 0)
            return KEPT_SIZE_UNKNOWN;
        return Listed > Counted ? Listed - Counted : 0;
    }
    return 0;
}
