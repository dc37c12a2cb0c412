// The trim on Linux: free space handed back to the drive. Windows' file
// systems tell the drive at once of the clusters a deleted file frees; ext4,
// xfs and btrfs, as mounted by default, only when fstrim runs. So once the
// fill's file is deleted, the volume is asked to discard all its free space,
// as fstrim asks it (FITRIM), and xfs a group at a time: the drive drops the
// fill, and with it what was left in the free blocks no file could be given
// (kept.cpp). Only root may ask, and only a device that discards (an SSD, a
// loop device on an image, a thin volume) answers. Whether it would is asked
// first, with a request too short to discard anything, and what stays where
// it would not is told: the free space no file can be given, and the least
// the device discards at once where that is more than a block.

#include "internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

// Asks the file system open as Fd, whose type is Type, to discard all its
// free space. A range that covers a whole xfs allocation group makes the kernel walk the
// group's free extents by length, a batch at a time, and restart each batch
// from the range's start: every free extent that lies before the restart
// point is then passed over as outside the range, and on a drive whose free
// space lies in hundreds of pieces most of them stay as they were. A range
// that leaves out the group's first block, its own header and never free,
// makes it walk the group by block number, which reaches every extent. So
// xfs is asked a group at a time, as its geometry gives the groups; any
// other file system in one request.
static void Trim(int Fd, long Type)
{
    // XFS_IOC_FSGEOMETRY_V1 fills 112 bytes: the block size, the blocks in a
    // group and the count of groups are its first, third and fourth 32-bit
    // fields, the blocks of the data device the 64-bit field at byte 32.
    std::uint32_t Geometry[28];
    static_assert(sizeof Geometry == 112, "the version 1 geometry of xfs");
    if (Type != XfsMagic || ioctl(Fd, _IOR('X', 100, Geometry), Geometry) != 0) {
        struct fstrim_range Whole = {0, UINT64_MAX, 0};
        ioctl(Fd, FITRIM, &Whole);
        return;
    }
    const std::uint64_t BlockSize = Geometry[0], GroupBlocks = Geometry[2], Groups = Geometry[3];
    std::uint64_t DataBlocks;
    std::memcpy(&DataBlocks, reinterpret_cast<const unsigned char*>(Geometry) + 32, sizeof DataBlocks);
    for (std::uint64_t Group = 0; Group < Groups; ++Group) {
        const std::uint64_t First = Group * GroupBlocks;
        const std::uint64_t Blocks = std::min(GroupBlocks, DataBlocks > First ? DataBlocks - First : 0);
        if (Blocks < 2)
            continue;
        struct fstrim_range Range = {(First + 1) * BlockSize, (Blocks - 1) * BlockSize, 0};
        ioctl(Fd, FITRIM, &Range);
    }
}

BOOL TrimFreeSpace()
{
    const int Fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0)
        return FALSE;
    // A deleted file's blocks are not free to discard until the file system
    // commits the delete: ext4, xfs and btrfs hold them until their journal,
    // log or transaction is written.
    syncfs(Fd);
    struct statfs Volume;
    if (fstatfs(Fd, &Volume) == 0)
        Trim(Fd, static_cast<long>(Volume.f_type));
    close(Fd);
    return TRUE;
}

// The least the device under Root discards at once, from sysfs: a partition
// has its disk's queue.
static std::uint64_t DiscardGranularity(const struct stat& Root)
{
    unsigned long long Bytes = 0;
    for (const char* Queue : {"queue", "../queue"}) {
        char Path[96];
        std::snprintf(Path, sizeof Path, "/sys/dev/block/%u:%u/%s/discard_granularity", major(Root.st_dev),
                      minor(Root.st_dev), Queue);
        if (std::FILE* Value = std::fopen(Path, "re")) {
            const bool Read = std::fscanf(Value, "%llu", &Bytes) == 1;
            std::fclose(Value);
            if (Read)
                break;
        }
    }
    return Bytes;
}

DWORD GetUntrimmedFreeSpace(PULARGE_INTEGER KeptBytes, LPDWORD SmallestDiscard)
{
    KeptBytes->QuadPart = 0;
    *SmallestDiscard = 0;
    const int Fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0)
        return ERROR_NOT_SUPPORTED;
    // The deleted file's blocks are counted as free once the delete is
    // committed; the close emptied the file, so that xfs too has freed them
    // by then rather than in the background.
    syncfs(Fd);
    struct statfs Volume;
    struct stat Root;
    if (fstatfs(Fd, &Volume) == 0 && fstat(Fd, &Root) == 0) {
        KeptBytes->QuadPart = KeptFreeBytes(Fd, Volume, Root);
        const std::uint64_t Granularity = DiscardGranularity(Root);
        if (Granularity > static_cast<std::uint64_t>(Volume.f_bsize))
            *SmallestDiscard = static_cast<DWORD>(std::min<std::uint64_t>(Granularity, UINT32_MAX));
    }
    // A range too short to discard anything: the file system checks who asks
    // and whether the device discards before it looks at the range, and then
    // refuses it, or trims nothing.
    struct fstrim_range Nothing = {0, 0, 0};
    const int Answer = ioctl(Fd, FITRIM, &Nothing) == 0 ? 0 : errno;
    close(Fd);
    if (Answer == 0 || Answer == EINVAL)
        return ERROR_SUCCESS;
    return Answer == EPERM ? ERROR_ACCESS_DENIED : ERROR_NOT_SUPPORTED;
}
