// The trim on Linux: free space handed back to the drive. Windows' file
// systems tell the drive at once of the clusters a deleted file frees; ext4
// and xfs, as mounted by default, only when fstrim runs, and btrfs (mounted
// with discard=async by default since Linux 6.2, on a device that discards)
// in the background, seconds later. So once the fill's file is deleted, the
// volume is asked to discard all its free space, as fstrim asks it
// (FITRIM), and xfs a group at a time: the drive drops the fill, and with it
// what was left in the free blocks no file could be given (remains.cpp). Only
// root may ask, and only a device that discards (an SSD, a loop device on an
// image, a thin volume) answers; remains.cpp tells beforehand whether it
// would. An overlay is trimmed through its upper layer's file system, where
// it can be reached.

#include "internal.h"

#include <algorithm>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>

// Asks the file system open as Fd, whose type is Type, to discard all its
// free space; false, with the errno of the first request that failed, where
// any did. A range that covers a whole xfs allocation group makes the kernel
// walk the group's free extents by length, a batch at a time, and restart
// each batch from the range's start: every free extent that lies before the
// restart point is then passed over as outside the range, and on a drive
// whose free space lies in hundreds of pieces most of them stay as they
// were. A range that leaves out the group's first block, its own header and
// never free, makes it walk the group by block number, which reaches every
// extent. So xfs is asked a group at a time, as its geometry gives the
// groups; any other file system in one request. A group that fails does not
// stop the others.
static bool Trim(int Fd, long Type)
{
    XfsGeometry Geometry;
    if (Type != XfsMagic || !ReadXfsGeometry(Fd, Geometry)) {
        struct fstrim_range Whole = {0, UINT64_MAX, 0};
        return ioctl(Fd, FITRIM, &Whole) == 0;
    }
    int FirstFailure = 0;
    for (std::uint64_t Group = 0; Group < Geometry.Groups; ++Group) {
        const std::uint64_t First = Group * Geometry.GroupBlocks;
        const std::uint64_t Blocks =
            std::min(Geometry.GroupBlocks, Geometry.DataBlocks > First ? Geometry.DataBlocks - First : 0);
        if (Blocks < 2)
            continue;
        struct fstrim_range Range = {(First + 1) * Geometry.BlockSize, (Blocks - 1) * Geometry.BlockSize, 0};
        if (ioctl(Fd, FITRIM, &Range) != 0 && FirstFailure == 0)
            FirstFailure = errno;
    }
    errno = FirstFailure;
    return FirstFailure == 0;
}

TrimResult TrimFreeSpace()
{
    bool Below;
    const int Fd = OpenVolume(".", Below);
    if (Fd < 0)
        return {ERROR_GEN_FAILURE, static_cast<DWORD>(errno)};
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
    if (Error == 0)
        return {ERROR_SUCCESS, 0};
    if (Error == EPERM)
        return {ERROR_ACCESS_DENIED, static_cast<DWORD>(Error)};
    return {Error == EOPNOTSUPP || Error == ENOTTY ? ERROR_NOT_SUPPORTED : ERROR_GEN_FAILURE,
            static_cast<DWORD>(Error)};
}
