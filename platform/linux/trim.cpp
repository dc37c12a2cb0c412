// The trim on Linux: free space handed back to the drive. Windows' file
// systems tell the drive at once of the clusters a deleted file frees; ext4
// and xfs, as mounted by default, only when fstrim runs, and btrfs (mounted
// with discard=async by default since Linux 6.2, on a device that discards)
// in the background, seconds later. So once the fill's file is deleted, the
// volume is asked to discard all its free space, as fstrim asks it
// (FITRIM), and xfs a group at a time: the drive drops the fill, and with it
// what was left in the free blocks no file could be given (kept.cpp). Only
// root may ask, and only a device that discards (an SSD, a loop device on an
// image, a thin volume) answers. Whether it would is asked first, with a
// request too short to discard anything, and what stays where it would not
// is told: the free space no file can be given, and the least the device
// discards at once where that is more than a block. An overlay is trimmed
// through its upper layer's file system, where it can be reached.

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
// free space; false, with errno, where it fails to. A range that covers a
// whole xfs allocation group makes the kernel walk the group's free extents
// by length, a batch at a time, and restart each batch from the range's
// start: every free extent that lies before the restart point is then passed
// over as outside the range, and on a drive whose free space lies in
// hundreds of pieces most of them stay as they were. A range that leaves out
// the group's first block, its own header and never free, makes it walk the
// group by block number, which reaches every extent. So xfs is asked a group
// at a time, as its geometry gives the groups; any other file system in one
// request. A group that fails does not stop the others.
static bool Trim(int Fd, long Type)
{
    // XFS_IOC_FSGEOMETRY_V1 fills 112 bytes: the block size, the blocks in a
    // group and the count of groups are its first, third and fourth 32-bit
    // fields, the blocks of the data device the 64-bit field at byte 32.
    std::uint32_t Geometry[28];
    static_assert(sizeof Geometry == 112, "the version 1 geometry of xfs");
    if (Type != XfsMagic || ioctl(Fd, _IOR('X', 100, Geometry), Geometry) != 0) {
        struct fstrim_range Whole = {0, UINT64_MAX, 0};
        return ioctl(Fd, FITRIM, &Whole) == 0;
    }
    const std::uint64_t BlockSize = Geometry[0], GroupBlocks = Geometry[2], Groups = Geometry[3];
    std::uint64_t DataBlocks;
    std::memcpy(&DataBlocks, reinterpret_cast<const unsigned char*>(Geometry) + 32, sizeof DataBlocks);
    int Failure = 0;
    for (std::uint64_t Group = 0; Group < Groups; ++Group) {
        const std::uint64_t First = Group * GroupBlocks;
        const std::uint64_t Blocks = std::min(GroupBlocks, DataBlocks > First ? DataBlocks - First : 0);
        if (Blocks < 2)
            continue;
        struct fstrim_range Range = {(First + 1) * BlockSize, (Blocks - 1) * BlockSize, 0};
        if (ioctl(Fd, FITRIM, &Range) != 0)
            Failure = errno;
    }
    errno = Failure;
    return Failure == 0;
}

DWORD TrimFreeSpace()
{
    bool Below;
    const int Fd = OpenVolume(".", Below);
    if (Fd < 0)
        return ERROR_GEN_FAILURE;
    // A deleted file's blocks are not free to discard until the file system
    // commits the delete: ext4, xfs and btrfs hold them until their journal,
    // log or transaction is written. Where that fails, they may still be
    // held, and so not trimmed. A FUSE file system (ntfs-3g) answers the
    // request too short to discard anything, and only now that its device
    // does not discard: a refusal, not a failure.
    struct statfs Volume;
    const bool Trimmed = syncfs(Fd) == 0 && fstatfs(Fd, &Volume) == 0 && Trim(Fd, static_cast<long>(Volume.f_type));
    const int Error = Trimmed ? 0 : errno;
    close(Fd);
    errno = Error;
    if (Error == 0)
        return ERROR_SUCCESS;
    if (Error == EPERM)
        return ERROR_ACCESS_DENIED;
    return Error == EOPNOTSUPP || Error == ENOTTY ? ERROR_NOT_SUPPORTED : ERROR_GEN_FAILURE;
}

// A figure of the queue of the device under Root, from sysfs (Name:
// discard_granularity, discard_max_bytes): a partition has its disk's queue.
// False where sysfs does not tell.
static bool QueueFigure(const struct stat& Root, const char* Name, std::uint64_t& Value)
{
    for (const char* Queue : {"queue", "../queue"}) {
        char Path[128];
        unsigned long long Read = 0;
        std::snprintf(Path, sizeof Path, "/sys/dev/block/%u:%u/%s/%s", major(Root.st_dev), minor(Root.st_dev), Queue,
                      Name);
        if (std::FILE* File = std::fopen(Path, "re")) {
            const bool Whole = std::fscanf(File, "%llu", &Read) == 1;
            std::fclose(File);
            if (Whole) {
                Value = Read;
                return true;
            }
        }
    }
    return false;
}

DWORD GetUntrimmedFreeSpace(PULARGE_INTEGER KeptBytes, LPDWORD SmallestDiscard, LPDWORD Keeper)
{
    KeptBytes->QuadPart = KEPT_SIZE_UNKNOWN;
    *SmallestDiscard = DISCARD_SIZE_UNKNOWN;
    *Keeper = KEPT_BY_FILE_SYSTEM;
    bool Below;
    const int Fd = OpenVolume(".", Below);
    if (Fd < 0 || Below) {
        *Keeper = Below ? KEPT_BELOW : KEPT_BY_FILE_SYSTEM;
        if (Fd >= 0)
            close(Fd);
        return ERROR_NOT_SUPPORTED;
    }
    // The deleted file's blocks are counted as free once the delete is
    // committed; the close emptied the file, so that xfs too has freed them
    // by then rather than in the background.
    syncfs(Fd);
    struct statfs Volume;
    struct stat Root;
    std::uint64_t Granularity;
    const bool Known = fstatfs(Fd, &Volume) == 0 && fstat(Fd, &Root) == 0;
    if (Known) {
        KeptBytes->QuadPart = KeptFreeBytes(Fd, Volume, Root, *Keeper);
        if (QueueFigure(Root, "discard_granularity", Granularity))
            *SmallestDiscard = Granularity > static_cast<std::uint64_t>(Volume.f_bsize)
                                   ? static_cast<DWORD>(std::min<std::uint64_t>(Granularity, UINT32_MAX - 1))
                                   : 0;
    }
    // A range too short to discard anything: the file system checks who asks
    // and whether the device discards before it looks at the range, and then
    // refuses it, or trims nothing.
    // Another user than root is refused before the device is asked: where
    // sysfs says the device does not discard, a run as root would not trim
    // either.
    struct fstrim_range Nothing = {0, 0, 0};
    const int Answer = ioctl(Fd, FITRIM, &Nothing) == 0 ? 0 : errno;
    std::uint64_t MostDiscarded = 1;
    const bool Discards = !Known || !QueueFigure(Root, "discard_max_bytes", MostDiscarded) || MostDiscarded != 0;
    close(Fd);
    if (Answer == 0 || Answer == EINVAL)
        return ERROR_SUCCESS;
    return Answer == EPERM && Discards ? ERROR_ACCESS_DENIED : ERROR_NOT_SUPPORTED;
}
