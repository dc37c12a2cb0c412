// The drive's geometry as the file system tells it (xfs any user, ext4's
// superblock root), and the groups the move onto the fill (refill.cpp)
// walks: ext4's block groups and xfs's allocation groups, where each byte
// of the drive lies, the
// order in which a file's requests reach them, and what of the fill's file
// lies in each, read from its map (FIEMAP), which any user may read.

#include "internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

XfsGeometry ParseXfsGeometry(const unsigned char (&Reply)[112])
{
    // The block size, the blocks in a group and the count of groups are the
    // first, third and fourth 32-bit fields, the blocks of the data device
    // the 64-bit field at byte 32.
    std::uint32_t Field[4];
    std::uint64_t DataBlocks;
    std::memcpy(Field, Reply, sizeof Field);
    std::memcpy(&DataBlocks, Reply + 32, sizeof DataBlocks);
    return {Field[0], Field[2], Field[3], DataBlocks};
}

bool ReadXfsGeometry(int Fd, XfsGeometry& Geometry)
{
    // The ioctl's first version, which every kernel answers, and any user.
    unsigned char Reply[112] = {};
    if (ioctl(Fd, _IOR('X', 100, decltype(Reply)), Reply) != 0)
        return false;
    Geometry = ParseXfsGeometry(Reply);
    return true;
}

// A little-endian 32-bit field of an ext2/3/4 superblock.
static std::uint32_t SuperField(const unsigned char (&Super)[1024], int Offset)
{
    return static_cast<std::uint32_t>(Super[Offset] | Super[Offset + 1] << 8 | Super[Offset + 2] << 16 |
                                      static_cast<std::uint32_t>(Super[Offset + 3]) << 24);
}

bool ReadExt4Superblock(const char* Name, unsigned char (&Super)[1024])
{
    char Path[PATH_MAX + 8];
    std::snprintf(Path, sizeof Path, "/dev/%s", Name);
    const int Fd = open(Path, O_RDONLY | O_CLOEXEC);
    const bool Read = Fd >= 0 && pread(Fd, Super, sizeof Super, 1024) == static_cast<ssize_t>(sizeof Super);
    if (Fd >= 0)
        close(Fd);
    return Read && (SuperField(Super, 0x38) & 0xFFFF) == Ext4Magic;
}

bool SuperblockBlocksPerCluster(const unsigned char (&Super)[1024], std::uint64_t& PerCluster)
{
    // The log2 of the block and cluster sizes in KiB, and the read-only-
    // compatible features, of which 0x200 is bigalloc.
    const std::uint32_t LogBlock = SuperField(Super, 0x18);
    const std::uint32_t LogCluster = (SuperField(Super, 0x64) & 0x200) != 0 ? SuperField(Super, 0x1C) : LogBlock;
    if (LogCluster < LogBlock || LogCluster - LogBlock > 30)
        return false;
    PerCluster = std::uint64_t{1} << (LogCluster - LogBlock);
    return true;
}

bool SuperblockGroups(const unsigned char (&Super)[1024], GroupLayout& Layout)
{
    // The blocks (their high half at 0x150 where the incompatible feature
    // 0x80, 64bit, is on), the first data block, the log2 of the block size
    // in KiB, and the blocks per group.
    const std::uint64_t High = (SuperField(Super, 0x60) & 0x80) != 0 ? SuperField(Super, 0x150) : 0;
    const std::uint64_t Blocks = High << 32 | SuperField(Super, 0x04), First = SuperField(Super, 0x14);
    const std::uint32_t LogBlock = SuperField(Super, 0x18), PerGroup = SuperField(Super, 0x20);
    if (LogBlock > 6 || PerGroup == 0 || Blocks <= First)
        return false;
    const std::uint64_t Block = std::uint64_t{1024} << LogBlock;
    Layout = {PerGroup * Block, (Blocks - First + PerGroup - 1) / PerGroup, First * Block};
    return true;
}

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
    // ext4's superblock, where root may read it, tells its groups exactly.
    char Name[NAME_MAX + 1];
    unsigned char Super[1024];
    GroupLayout Layout;
    if (Volume.f_type == Ext4Magic && DeviceName(File, Name) && ReadExt4Superblock(Name, Super) &&
        SuperblockGroups(Super, Layout))
        return Layout;
    XfsGeometry Xfs;
    const bool IsXfs = Volume.f_type == XfsMagic && ReadXfsGeometry(Fd, Xfs);
    return LayoutGroups(Volume.f_type, static_cast<std::uint64_t>(Volume.f_bsize), FillClusterBytes(File.st_dev),
                        DriveBytes(File.st_dev, Volume), IsXfs ? &Xfs : nullptr);
}

// Calls Visit(Logical, Length, Group, Physical) for each stretch of the
// file's first Size bytes from From on that lies in one group, in the file's
// order, until Visit returns false. The file's pieces are read a few at a time.
template <typename Visitor>
static void Stretches(int Fd, const GroupLayout& Layout, std::uint64_t From, std::uint64_t Size, Visitor Visit)
{
    constexpr unsigned Count = 32;
    alignas(fiemap) unsigned char Buffer[sizeof(fiemap) + Count * sizeof(fiemap_extent)];
    fiemap& Map = *reinterpret_cast<fiemap*>(Buffer);
    for (std::uint64_t Offset = From; Offset < Size;) {
        std::memset(Buffer, 0, sizeof Buffer);
        Map.fm_start = Offset;
        Map.fm_length = Size - Offset;
        Map.fm_extent_count = Count;
        if (ioctl(Fd, FS_IOC_FIEMAP, Buffer) != 0 || Map.fm_mapped_extents == 0)
            return;
        const std::uint64_t Before = Offset;
        for (unsigned N = 0; N < Map.fm_mapped_extents; ++N) {
            const fiemap_extent& Piece = Map.fm_extents[N];
            const std::uint64_t End = std::min<std::uint64_t>(Piece.fe_logical + Piece.fe_length, Size);
            for (std::uint64_t At = std::max<std::uint64_t>(Piece.fe_logical, Offset); At < End;) {
                const std::uint64_t Physical = Piece.fe_physical + (At - Piece.fe_logical);
                const std::uint64_t Length = StretchLength(Physical, End - At, Layout);
                if (!Visit(At, Length, GroupOfByte(Physical, Layout), Physical))
                    return;
                At += Length;
            }
            Offset = std::max(Offset, End);
        }
        if (Offset == Before)
            return;
    }
}

std::uint64_t PlaceOf(int Fd, std::uint64_t Logical)
{
    alignas(fiemap) unsigned char Buffer[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
    fiemap& Map = *reinterpret_cast<fiemap*>(Buffer);
    Map.fm_start = Logical;
    Map.fm_length = 1;
    Map.fm_extent_count = 1;
    if (ioctl(Fd, FS_IOC_FIEMAP, Buffer) != 0 || Map.fm_mapped_extents == 0 || Map.fm_extents[0].fe_logical > Logical)
        return UINT64_MAX;
    return Map.fm_extents[0].fe_physical + (Logical - Map.fm_extents[0].fe_logical);
}

std::uint64_t GroupOf(int Fd, const GroupLayout& Layout, std::uint64_t Logical)
{
    const std::uint64_t Physical = PlaceOf(Fd, Logical);
    return Physical == UINT64_MAX ? Layout.Count : GroupOfByte(Physical, Layout);
}

std::uint64_t TallyGroups(int Fd, const GroupLayout& Layout, std::uint64_t Size, GroupTally* Tally)
{
    std::uint64_t All = 0;
    for (std::uint64_t Group = 0; Group < Layout.Count; ++Group)
        Tally[Group] = {0, 0, 0};
    Stretches(Fd, Layout, 0, Size, [&](std::uint64_t At, std::uint64_t Length, std::uint64_t Group, std::uint64_t) {
        if (Tally[Group].Bytes == 0)
            Tally[Group].FirstLogical = At;
        Tally[Group].Bytes += Length;
        Tally[Group].EndLogical = At + Length;
        All += Length;
        return true;
    });
    return All;
}

std::uint64_t GroupReachedLast(const GroupLayout& Layout, const GroupTally* Tally, std::uint64_t RequestGroup)
{
    for (std::uint64_t Order = Layout.Count; Order-- > 0;) {
        const std::uint64_t Group = (RequestGroup + Order) % Layout.Count;
        if (Tally[Group].Bytes != 0)
            return Group;
    }
    return Layout.Count;
}

std::uint64_t NextStretchIn(int Fd, const GroupLayout& Layout, std::uint64_t From, std::uint64_t Size,
                            std::uint64_t Group, std::uint64_t& Start, std::uint64_t& Physical)
{
    std::uint64_t Length = 0;
    Stretches(Fd, Layout, From, Size, [&](std::uint64_t At, std::uint64_t Count, std::uint64_t In, std::uint64_t On) {
        if (In == Group)
            Start = At, Length = Count, Physical = On;
        return Length == 0;
    });
    return Length;
}

std::size_t HighestStretchesIn(int Fd, const GroupLayout& Layout, std::uint64_t From, std::uint64_t To,
                               std::uint64_t Group, FileStretch* Top, std::size_t Room)
{
    // A heap whose first is the lowest kept, which a higher one replaces.
    const auto Higher = [](const FileStretch& A, const FileStretch& B) { return A.Physical > B.Physical; };
    std::size_t Count = 0;
    Stretches(Fd, Layout, From, To, [&](std::uint64_t At, std::uint64_t Length, std::uint64_t In, std::uint64_t On) {
        if (In != Group || Room == 0 || (Count == Room && On <= Top[0].Physical))
            return true;
        if (Count == Room)
            std::pop_heap(Top, Top + Count--, Higher);
        Top[Count++] = {At, On, Length};
        std::push_heap(Top, Top + Count, Higher);
        return true;
    });
    std::sort_heap(Top, Top + Count, Higher);
    return Count;
}

std::uint64_t FreeEveryOther(int Fd, const GroupLayout& Layout, std::uint64_t Size, std::uint64_t Run,
                             std::uint64_t Want, PieceList& Written, int& Error)
{
    std::uint64_t Freed = 0, InRun = 0, RunStart = 0, RunEnd = 0;
    bool Freeing = true;
    const auto Punch = [&] {
        if (fallocate(Fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(RunStart),
                      static_cast<off_t>(RunEnd - RunStart)) != 0) {
            Error = errno;
            return false;
        }
        Freed += InRun;
        return true;
    };
    Stretches(Fd, Layout, 0, Size, [&](std::uint64_t At, std::uint64_t Length, std::uint64_t, std::uint64_t On) {
        while (Length != 0) {
            const std::uint64_t Count = std::min(Length, Run - InRun);
            if (Freeing) {
                RunStart = InRun == 0 ? At : RunStart;
                RunEnd = At + Count;
                NotePiece(Written, On, Count);
            }
            InRun += Count, At += Count, On += Count, Length -= Count;
            if (InRun == Run) {
                if (Freeing && (!Punch() || Freed >= Want))
                    return false;
                Freeing = !Freeing;
                InRun = 0;
            }
        }
        return true;
    });
    if (Error == 0 && Freeing && InRun != 0 && Freed < Want)
        Punch();
    return Freed;
}
