// Moving the free space that no file may have onto the fill, on Linux.
//
// Once the fill has taken all it can, what stays free is the space the file
// system keeps from every file (ext4's reserved cluster pool, the blocks xfs
// holds back, and for an ordinary user root's reserve), and it lies where
// the fill went last: ext4 and xfs give a large write their largest free
// pieces first, so what is left is the smallest, the holes between kept
// files where small deleted files lay. Where no trim reaches that space, it
// keeps them whole.
//
// So a small range of the fill's own file is freed, whose blocks already
// hold the fill, and the file then takes blocks one at a time, each written
// with fill data, until the drive is full again; and so on, range after
// range, until the bytes asked for have been freed. What stays free at the
// end then lies in freed ranges, if the requests reach those ranges last.
// Both file systems serve a large file's one-block requests group by group
// (ext4's block groups, xfs's allocation groups), staying in a group until
// nothing in it is free, then going on to the next; so a freed range in a
// group the requests reach is taken up in the end, whatever else is free in
// the groups after it. Each range is therefore made of the file's stretches
// in the group the requests reach last from the group where the last of
// them landed, however short those stretches are, and when the requests go
// on to another group, so do the ranges. How this was found, and what it
// reaches, is in docs/evidence.md.
//
// The blocks are taken past the end of the file, every other one, so that
// no two merge into one piece and each request is a piece of its own. A
// range's requests take at most what it freed, and the caller bounds what
// is freed in all, so the requests are bounded whatever the drive's size;
// the file's pieces are read a few at a time into a buffer on the stack.
// All of it belongs to the fill's nameless file, and goes with it on close.

#include "internal.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>

// What one range frees.
constexpr std::uint64_t RangeBytes = std::uint64_t{2} << 20;

GroupLayout LayoutGroups(long Type, std::uint64_t BlockSize, std::uint64_t DriveBlocks, const XfsGeometry* Xfs)
{
    // A group of ext4 holds as many blocks as its bitmap's block has bits;
    // xfs tells its own. Where neither, the drive is one group. statfs
    // leaves out the blocks the file system's own tables take, and a group
    // too many keeps the groups in the same order.
    const std::uint64_t Drive = DriveBlocks * BlockSize;
    std::uint64_t Bytes = Drive;
    if (Type == Ext4Magic)
        Bytes = BlockSize * 8 * BlockSize;
    else if (Type == XfsMagic && Xfs != nullptr)
        Bytes = Xfs->BlockSize * Xfs->GroupBlocks;
    Bytes = std::max(Bytes, std::max<std::uint64_t>(BlockSize, 1));
    return {Bytes, Drive / Bytes + 2};
}

std::uint64_t GroupOfByte(std::uint64_t Physical, const GroupLayout& Layout)
{
    return Physical / Layout.Bytes % Layout.Count;
}

std::uint64_t StretchLength(std::uint64_t Physical, std::uint64_t Remaining, const GroupLayout& Layout)
{
    return std::min(Remaining, Layout.Bytes - Physical % Layout.Bytes);
}

std::uint64_t RequestOrder(std::uint64_t Group, std::uint64_t RequestGroup, const GroupLayout& Layout)
{
    return (Group + Layout.Count - RequestGroup % Layout.Count) % Layout.Count;
}

// Calls Visit(Logical, Length, Group) for each stretch of the file's first
// Size bytes from From on that lies in one group, in the file's order,
// until Visit returns false. The file's pieces are read a few at a time.
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
                if (!Visit(At, Length, GroupOfByte(Physical, Layout)))
                    return;
                At += Length;
            }
            Offset = std::max(Offset, End);
        }
        if (Offset == Before)
            return;
    }
}

// The group that holds the file's byte at Logical; Layout.Count where the
// file system cannot say.
static std::uint64_t GroupOf(int Fd, const GroupLayout& Layout, std::uint64_t Logical)
{
    std::uint64_t Group = Layout.Count;
    Stretches(Fd, Layout, Logical, Logical + 1, [&](std::uint64_t, std::uint64_t, std::uint64_t In) {
        Group = In;
        return false;
    });
    return Group;
}

// The group the requests, now in RequestGroup, reach last of those that
// hold some of the file's first Size bytes; Layout.Count where none does.
static std::uint64_t GroupReachedLast(int Fd, const GroupLayout& Layout, std::uint64_t Size,
                                      std::uint64_t RequestGroup)
{
    std::uint64_t Last = Layout.Count, Latest = 0;
    Stretches(Fd, Layout, 0, Size, [&](std::uint64_t, std::uint64_t, std::uint64_t Group) {
        const std::uint64_t Order = RequestOrder(Group, RequestGroup, Layout);
        if (Last == Layout.Count || Order > Latest)
            Last = Group, Latest = Order;
        return true;
    });
    return Last;
}

// The file's next stretch from From on in Group: its start, and its length,
// 0 where there is none.
static std::uint64_t NextStretchIn(int Fd, const GroupLayout& Layout, std::uint64_t From, std::uint64_t Size,
                                   std::uint64_t Group, std::uint64_t& Start)
{
    std::uint64_t Length = 0;
    Stretches(Fd, Layout, From, Size, [&](std::uint64_t At, std::uint64_t Count, std::uint64_t In) {
        if (In == Group)
            Start = At, Length = Count;
        return Length == 0;
    });
    return Length;
}

MoveResult RefillFreedRanges(HANDLE File, ULONGLONG BytesToFree, LPCVOID Data, DWORD DataLength)
{
    MoveResult Result = {0, ERROR_SUCCESS, 0, KEPT_SIZE_UNKNOWN};
    const int Fd = Descriptor(File);
    struct statfs Volume;
    struct stat Status;
    if (fstatfs(Fd, &Volume) != 0 || fstat(Fd, &Status) != 0 || Volume.f_bsize <= 0 ||
        static_cast<std::uint64_t>(Volume.f_bsize) > DataLength)
        return {0, ERROR_NOT_SUPPORTED, 0, KEPT_SIZE_UNKNOWN};
    const std::uint64_t Block = static_cast<std::uint64_t>(Volume.f_bsize);
    const std::uint64_t Size = static_cast<std::uint64_t>(Status.st_size) / Block * Block;
    // Within half the file, so that the fill keeps most of what it wrote.
    const std::uint64_t Freed = std::min(BytesToFree, Size / 2) / Block * Block;
    const std::uint64_t Length = std::min(RangeBytes, Freed);
    if (Length == 0)
        return {0, ERROR_NOT_SUPPORTED, 0, KEPT_SIZE_UNKNOWN};
    const std::uint64_t WindowBlocks = DataLength / Block;
    std::uint64_t NextBlock = Size + Block;  // where the next block is taken, past the end
    // Ends the move with the error of the call that just failed; where
    // nothing was moved and the file system cannot free part of a file at
    // all, it cannot do the move.
    const auto Failed = [&](int Error) {
        Result.Status = Result.MovedBytes == 0 && (Error == EOPNOTSUPP || Error == ENOSYS) ? ERROR_NOT_SUPPORTED
                                                                                            : ERROR_GEN_FAILURE;
        Result.Error = static_cast<DWORD>(Error);
        return Result;
    };
    // Frees Count bytes at Start. xfs wants a few free blocks to free part
    // of a file, and a full drive can have none: the last blocks taken are
    // then given back, once their data is on the disk, and the part freed
    // again.
    const auto Free = [&](std::uint64_t Start, std::uint64_t Count) {
        const auto Punch = [&] {
            return fallocate(Fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(Start),
                             static_cast<off_t>(Count)) == 0;
        };
        constexpr std::uint64_t GivenBack = 16;
        if (Punch())
            return true;
        if (errno != ENOSPC || NextBlock < Size + (2 * GivenBack + 1) * Block || fdatasync(Fd) != 0 ||
            ftruncate(Fd, static_cast<off_t>(NextBlock - 2 * GivenBack * Block)) != 0)
            return false;
        NextBlock -= 2 * GivenBack * Block;
        Result.MovedBytes -= GivenBack * Block;
        return Punch();
    };
    // Waits until the file system has committed the release of what was
    // freed, so that it can be taken again, and takes blocks one at a time
    // until the drive is full again: a request refused for want of space
    // (ENOSPC; EDQUOT, EFBIG for a quota or a size limit). Returns the
    // errno of a call that failed otherwise, EIO for a short write.
    const auto Refill = [&]() -> int {
        if (fsync(Fd) != 0)
            return errno;
        for (; fallocate(Fd, 0, static_cast<off_t>(NextBlock), static_cast<off_t>(Block)) == 0;
             NextBlock += 2 * Block) {
            const void* const Piece = static_cast<const unsigned char*>(Data) + NextBlock / Block % WindowBlocks * Block;
            const ssize_t Written = pwrite(Fd, Piece, Block, static_cast<off_t>(NextBlock));
            if (Written != static_cast<ssize_t>(Block))
                return Written < 0 ? errno : EIO;
            Result.MovedBytes += Block;
        }
        return errno == ENOSPC || errno == EDQUOT || errno == EFBIG ? 0 : errno;
    };
    XfsGeometry Xfs;
    const bool IsXfs = Volume.f_type == XfsMagic && ReadXfsGeometry(Fd, Xfs);
    const GroupLayout Layout =
        LayoutGroups(Volume.f_type, Block, static_cast<std::uint64_t>(Volume.f_blocks), IsXfs ? &Xfs : nullptr);
    // Each range goes in the group the requests reach last from the one
    // where the last of them landed (at first, that of the file's last
    // block), made of as many of the file's stretches there as it takes.
    std::uint64_t RequestGroup = GroupOf(Fd, Layout, Size - Block), Group = Layout.Count, Start = 0, Count = 0;
    for (std::uint64_t Done = 0; Done < Freed;) {
        std::uint64_t Range = 0;
        while (Range < Length && Done < Freed) {
            if (Count == 0 && Group != Layout.Count)
                Count = NextStretchIn(Fd, Layout, Start, Size, Group, Start);
            if (Count == 0 && (Group = GroupReachedLast(Fd, Layout, Size, RequestGroup)) != Layout.Count)
                Count = NextStretchIn(Fd, Layout, 0, Size, Group, Start);
            if (Count == 0)
                break;
            const std::uint64_t Taken = std::min({Count, Length - Range, Freed - Done});
            if (!Free(Start, Taken))
                return Failed(errno);
            Start += Taken, Count -= Taken, Range += Taken, Done += Taken;
        }
        if (Range == 0)
            break;
        if (const int Error = Refill(); Error != 0)
            return Failed(Error);
        // Where the requests went on to another group, so do the ranges.
        const std::uint64_t Now = Result.MovedBytes != 0 ? GroupOf(Fd, Layout, NextBlock - 2 * Block) : RequestGroup;
        if (Now != RequestGroup)
            RequestGroup = Now, Group = Layout.Count, Count = 0;
    }
    if (fdatasync(Fd) != 0)
        return Failed(errno);
    return Result;
}
