// The groups the move onto the fill (refill.cpp) walks: ext4's block
// groups and xfs's allocation groups, where each byte of the drive lies, and
// the order in which a file's requests reach them.

#include "internal.h"

#include <algorithm>
#include <cstdio>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

GroupLayout LayoutGroups(long Type, std::uint64_t BlockSize, std::uint64_t ClusterBytes, std::uint64_t DriveBytes,
                         const XfsGeometry* Xfs)
{
    // A group of ext4 holds as many clusters as its bitmap's block has
    // bits, and starts after the first data block, which is block 1 where
    // blocks are 1 KiB; xfs tells its own groups and their count. Where
    // neither, the drive is one group. A count too large keeps the groups'
    // order; one too small would fold the last groups onto the first.
    BlockSize = std::max<std::uint64_t>(BlockSize, 1);
    if (Type == XfsMagic && Xfs != nullptr && Xfs->BlockSize * Xfs->GroupBlocks != 0 && Xfs->Groups != 0)
        return {Xfs->BlockSize * Xfs->GroupBlocks, Xfs->Groups, 0};
    if (Type != Ext4Magic)
        return {std::max(DriveBytes, BlockSize), 1, 0};
    const std::uint64_t Bytes = 8 * BlockSize * std::max(ClusterBytes, BlockSize);
    const std::uint64_t First = BlockSize == 1024 ? 1024 : 0;
    const std::uint64_t Data = DriveBytes > First ? DriveBytes - First : 0;
    return {Bytes, std::max<std::uint64_t>(Data / Bytes + (Data % Bytes != 0), 1), First};
}

std::uint64_t GroupOfByte(std::uint64_t Physical, const GroupLayout& Layout)
{
    return (Physical > Layout.First ? Physical - Layout.First : 0) / Layout.Bytes % Layout.Count;
}

std::uint64_t StretchLength(std::uint64_t Physical, std::uint64_t Remaining, const GroupLayout& Layout)
{
    const std::uint64_t Into = (Physical > Layout.First ? Physical - Layout.First : 0) % Layout.Bytes;
    return std::min(Remaining, Layout.Bytes - Into);
}

std::uint64_t RequestOrder(std::uint64_t Group, std::uint64_t RequestGroup, const GroupLayout& Layout)
{
    return (Group + Layout.Count - RequestGroup % Layout.Count) % Layout.Count;
}

// The bytes of the drive Device, whose file system statfs gave Volume: the
// device's size, as sysfs tells any user, or else the blocks statfs counts
// and an eighth more, for the file system's own tables, which it leaves out.
static std::uint64_t DriveBytes(dev_t Device, const struct statfs& Volume)
{
    char Path[64];
    std::uint64_t Sectors = 0;
    std::snprintf(Path, sizeof Path, "/sys/dev/block/%u:%u/size", major(Device), minor(Device));
    if (ReadSysfsNumber(Path, Sectors) && Sectors != 0)
        return BlockBytes(Sectors, 512);
    const std::uint64_t Counted = BlockBytes(static_cast<std::uint64_t>(Volume.f_blocks),
                                             static_cast<std::uint64_t>(Volume.f_bsize));
    return Counted + Counted / 8;
}

GroupLayout DriveGroups(int Fd, const struct statfs& Volume, const struct stat& File)
{
    XfsGeometry Xfs;
    const bool IsXfs = Volume.f_type == XfsMagic && ReadXfsGeometry(Fd, Xfs);
    return LayoutGroups(Volume.f_type, static_cast<std::uint64_t>(Volume.f_bsize), FillClusterBytes(File.st_dev),
                        DriveBytes(File.st_dev, Volume), IsXfs ? &Xfs : nullptr);
}
