// The volume's free space on Linux, under the Win32 name of its service.
//
// Free space, in exact 64-bit byte counts (the largest there is for any
// count past that), of the directory entered (".") or of another drive's.
// Available to the caller: the blocks free to unprivileged users, and on
// ext2/3/4 the blocks reserved for root too, where the kernel gives them to
// this process (reserve.cpp). Total free, what a file of any user could be
// given: on ext2/3/4 all free blocks less ext4's reserved cluster pool, which
// only the file system itself may use (kept.cpp); elsewhere the unprivileged
// figure, since other file systems count in all free blocks space that no
// file can have (btrfs, xfs and ZFS: their metadata). An overlay counts
// as the file system of its upper layer, where its files are made.

#include "internal.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/statfs.h>

BOOL GetDiskFreeSpaceExA(LPCSTR DirectoryName, PULARGE_INTEGER FreeBytesAvailableToCaller,
                         PULARGE_INTEGER TotalNumberOfBytes, PULARGE_INTEGER TotalNumberOfFreeBytes)
{
    char Directory[7];
    if (DirectoryName != nullptr && !DriveDirectory(DirectoryName, Directory)) {
        errno = ENOENT;
        return FALSE;
    }
    // The drive entered is asked through ".", the very directory that was
    // found to be a volume, rather than by its name again, which may lead
    // elsewhere once another file system is mounted over it.
    // An overlay is asked through its upper layer where that can be reached,
    // since the fill writes there, and so can have root's reserve.
    char Here[PATH_MAX], Resolved[PATH_MAX];
    const bool Current = DirectoryName == nullptr ||
                         (getcwd(Here, sizeof Here) != nullptr &&
                          (std::strcmp(Here, Directory) == 0 ||
                           (realpath(Directory, Resolved) != nullptr && std::strcmp(Here, Resolved) == 0)));
    bool Below;
    const int Fd = OpenVolume(Current ? "." : Directory, Below);
    if (Fd < 0)
        return FALSE;
    struct statfs Volume;
    struct stat Root;
    const bool Known = fstatfs(Fd, &Volume) == 0 && fstat(Fd, &Root) == 0;
    const int Saved = errno;
    close(Fd);
    errno = Saved;
    if (!Known)
        return FALSE;

    // A file system may report any count of blocks (FUSE and network ones
    // report what they like): a count too large for 64 bits of bytes is
    // shown as the largest there is, never wrapped round to a small one.
    const std::uint64_t Unit = Volume.f_frsize != 0 ? Volume.f_frsize : Volume.f_bsize;
    std::uint64_t Available = Volume.f_bavail;
    std::uint64_t TotalFree = Volume.f_bavail;
    std::uint64_t Pool = 0;
    char Name[NAME_MAX + 1];
    if (Volume.f_type == Ext4Magic && DeviceName(Root, Name) &&
        Ext4PoolBlocks(Name, Volume.f_bsize, FillClusterBytes(Root.st_dev), Pool)) {
        TotalFree = std::max<std::uint64_t>(Volume.f_bfree > Pool ? Volume.f_bfree - Pool : 0, Volume.f_bavail);
        if (MayUseReserve(Name))
            Available = TotalFree;
    }
    if (FreeBytesAvailableToCaller != nullptr)
        FreeBytesAvailableToCaller->QuadPart = BlockBytes(Available, Unit);
    if (TotalNumberOfBytes != nullptr)
        TotalNumberOfBytes->QuadPart = BlockBytes(Volume.f_blocks, Unit);
    if (TotalNumberOfFreeBytes != nullptr)
        TotalNumberOfFreeBytes->QuadPart = BlockBytes(TotalFree, Unit);
    return TRUE;
}
