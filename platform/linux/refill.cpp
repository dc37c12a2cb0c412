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
// range, until twice and a quarter the kept space has been freed. What
// stays free at the end then lies in freed ranges, if the requests reach
// the ranges last. Both file systems serve a large file's one-block
// requests group by group (ext4's block groups, xfs's allocation groups),
// staying in a group until nothing in it is free and then going on to the
// next (measured on Linux 6.18):
//   - ext4 neither rounds up a request that fallocate makes nor serves it
//     from a preallocation, so it asks for exactly one block. The requests
//     start in the group where the last of the file's requests that ext4
//     had to search for landed (not always that of the file's last block),
//     and in a group take a piece of exactly one block as soon as they meet
//     one, or else the smallest of the first pieces scanned.
//   - xfs takes for each request the free piece in the group nearest the
//     one it took before, walking through a freed range it meets.
// So a freed range in a group the requests reach is taken up in the end,
// whatever else is free in the groups after it. Each range is therefore
// made of the file's stretches in the group the requests reach last from
// the group where the last of them landed, the one just before it, however
// short those stretches are: when the requests go on, so do the ranges.
// Freed in one piece in the group reached last from that of the file's
// last block, spilling into the groups before it, the ranges left up to
// nine tenths of a plain fill's deleted files in half of twenty ordinary
// users' runs on ext4, whose kept space (root's reserve) is more than such
// a group holds of the file; spread over the whole file on xfs, they left
// 962 to 1,889 blocks of deleted files in six runs of thirteen on drives
// with few of them (2,726 to 5,599 blocks).
// Measured on used 512 MiB ext4 and 320 MiB xfs drives that do not discard,
// against a plain fill to a full drive on the same drive: on ext4, as root
// and as an ordinary user, at most 26 blocks of deleted files stayed in
// each of 57 runs over 35 sets of files, 0 to 6 whole files where counted,
// where the plain fill left 477 to 2,684; on a 2 GiB drive, 10 of 6,774.
// On xfs, at most 75 blocks in each of 31 runs over 31 sets of files, 0 to
// 25 whole files where counted, where the plain fill left 1,504 to 1,903.
//
// The blocks are taken past the end of the file, every other one, so that
// no two merge into one piece and each request is a piece of its own. A
// range's requests take at most what it freed, and at most 768 MiB is freed
// in all, so the requests are bounded whatever the drive's size; the file's
// pieces are read a few at a time into a buffer on the stack. All of it
// belongs to the fill's nameless file, and goes with it on close.

#include "internal.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>

// What one range frees, and the most freed in all; a drive whose kept space
// is larger than that allows for (root's reserve on a large drive) has more
// of it than small pieces.
constexpr std::uint64_t RangeBytes = std::uint64_t{2} << 20;
constexpr std::uint64_t MostFreed = std::uint64_t{768} << 20;

// The size of a group of the drive (ext4's block group, xfs's allocation
// group), and how many the drive has, or one more.
static std::uint64_t GroupBytes, Groups;

// Calls Take(Logical, Length, Group) for each stretch of the file's first
// Size bytes from From on that lies in one group, in the file's order,
// until Take returns false. The file's pieces are read a few at a time.
template <typename Visit>
static void Stretches(int Fd, std::uint64_t From, std::uint64_t Size, Visit Take)
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
                const std::uint64_t Length = std::min(End - At, GroupBytes - Physical % GroupBytes);
                if (!Take(At, Length, Physical / GroupBytes % Groups))
                    return;
                At += Length;
            }
            Offset = std::max(Offset, End);
        }
        if (Offset == Before)
            return;
    }
}

// The group that holds the file's byte at Logical; Groups where the file
// system cannot say.
static std::uint64_t GroupOf(int Fd, std::uint64_t Logical)
{
    std::uint64_t Group = Groups;
    Stretches(Fd, Logical, Logical + 1, [&](std::uint64_t, std::uint64_t, std::uint64_t In) {
        Group = In;
        return false;
    });
    return Group;
}

// The group the requests, now in group Walk, reach last of those that hold
// some of the file's first Size bytes; Groups where none does.
static std::uint64_t Behind(int Fd, std::uint64_t Size, std::uint64_t Walk)
{
    std::uint64_t Last = Groups, Latest = 0;
    Stretches(Fd, 0, Size, [&](std::uint64_t, std::uint64_t, std::uint64_t Group) {
        const std::uint64_t Rank = (Group + Groups - Walk) % Groups;
        if (Last == Groups || Rank > Latest)
            Last = Group, Latest = Rank;
        return true;
    });
    return Last;
}

// The file's next stretch from From on in Group: its start, and its length,
// 0 where there is none.
static std::uint64_t NextIn(int Fd, std::uint64_t From, std::uint64_t Size, std::uint64_t Group, std::uint64_t& Start)
{
    std::uint64_t Count = 0;
    Stretches(Fd, From, Size, [&](std::uint64_t At, std::uint64_t Length, std::uint64_t In) {
        if (In == Group)
            Start = At, Count = Length;
        return Count == 0;
    });
    return Count;
}

DWORD MoveFreeSpaceOntoFill(HANDLE File, ULONGLONG Bytes, LPCVOID Data, DWORD DataLength, PULARGE_INTEGER Moved)
{
    Moved->QuadPart = 0;
    const int Fd = Descriptor(File);
    struct statfs Volume;
    struct stat Status;
    if (fstatfs(Fd, &Volume) != 0 || fstat(Fd, &Status) != 0 || Volume.f_bsize <= 0 ||
        static_cast<std::uint64_t>(Volume.f_bsize) > DataLength)
        return ERROR_NOT_SUPPORTED;
    const std::uint64_t Block = static_cast<std::uint64_t>(Volume.f_bsize);
    const std::uint64_t Size = static_cast<std::uint64_t>(Status.st_size) / Block * Block;
    // Freed in all: twice and a quarter the kept space, within half the
    // file. One and a half times left up to 295 blocks of deleted files on
    // ext4 in one run of eight, and up to 543 on xfs in four of ten.
    const std::uint64_t Freed = std::min({Bytes / 4 * 9, MostFreed, Size / 2}) / Block * Block;
    const std::uint64_t Length = std::min(RangeBytes, Freed);
    if (Length == 0)
        return ERROR_NOT_SUPPORTED;
    const std::uint64_t Pieces = DataLength / Block;
    std::uint64_t Next = Size + Block;
    // Frees Count bytes at Start. xfs wants a few free blocks to free part
    // of a file, and a full drive can have none: the last 16 blocks taken
    // are then given back, once their data is on the disk, and the part
    // freed again.
    const auto Free = [&](std::uint64_t Start, std::uint64_t Count) {
        const auto Punch = [&] {
            return fallocate(Fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(Start),
                             static_cast<off_t>(Count)) == 0;
        };
        constexpr std::uint64_t Back = 16;
        if (Punch())
            return true;
        if (errno != ENOSPC || Next < Size + (2 * Back + 1) * Block || fdatasync(Fd) != 0 ||
            ftruncate(Fd, static_cast<off_t>(Next - 2 * Back * Block)) != 0)
            return false;
        Next -= 2 * Back * Block;
        Moved->QuadPart -= Back * Block;
        return Punch();
    };
    const auto Failed = [&]() -> DWORD {
        return Moved->QuadPart == 0 && (errno == EOPNOTSUPP || errno == ENOSYS) ? ERROR_NOT_SUPPORTED
                                                                                : ERROR_GEN_FAILURE;
    };
    // Waits until the file system has committed the release of what was
    // freed, so that it can be taken again, and takes blocks one at a time
    // until the drive is full again: a request refused for want of space
    // (ENOSPC; EDQUOT, EFBIG for a quota or a size limit).
    const auto Refill = [&]() -> DWORD {
        if (fsync(Fd) != 0)
            return ERROR_GEN_FAILURE;
        for (; fallocate(Fd, 0, static_cast<off_t>(Next), static_cast<off_t>(Block)) == 0; Next += 2 * Block) {
            const void* const Piece = static_cast<const unsigned char*>(Data) + Next / Block % Pieces * Block;
            if (pwrite(Fd, Piece, Block, static_cast<off_t>(Next)) != static_cast<ssize_t>(Block))
                return ERROR_GEN_FAILURE;
            Moved->QuadPart += Block;
        }
        return errno == ENOSPC || errno == EDQUOT || errno == EFBIG ? ERROR_SUCCESS : Failed();
    };
    // A group of ext4 holds as many blocks as its bitmap's block has bits.
    // xfs tells anyone who asks for its geometry (in the ioctl's first
    // version, 112 bytes, which every kernel answers) its block size and how
    // many blocks a group (an allocation group) holds; where it does not, the
    // drive is taken as one group. statfs leaves out the blocks the file
    // system's own tables take, and a group too many keeps the groups in the
    // same order.
    const std::uint64_t Drive = static_cast<std::uint64_t>(Volume.f_blocks) * Block;
    std::uint32_t Geometry[28] = {};
    GroupBytes = Drive;
    if (Volume.f_type == Ext4Magic)
        GroupBytes = Block * 8 * Block;
    else if (Volume.f_type == XfsMagic && ioctl(Fd, _IOR('X', 100, decltype(Geometry)), Geometry) == 0)
        GroupBytes = std::uint64_t{Geometry[0]} * Geometry[2];
    GroupBytes = std::max(GroupBytes, Block);
    Groups = Drive / GroupBytes + 2;
    // Each range goes in the group the requests reach last from the one
    // where the last of them landed (at first, that of the file's last
    // block), made of as many of the file's stretches there as it takes.
    std::uint64_t Walk = GroupOf(Fd, Size - Block), Group = Groups, Start = 0, Count = 0;
    for (std::uint64_t Done = 0; Done < Freed;) {
        std::uint64_t Range = 0;
        while (Range < Length && Done < Freed) {
            if (Count == 0 && Group != Groups)
                Count = NextIn(Fd, Start, Size, Group, Start);
            if (Count == 0 && (Group = Behind(Fd, Size, Walk)) != Groups)
                Count = NextIn(Fd, 0, Size, Group, Start);
            if (Count == 0)
                break;
            const std::uint64_t Taken = std::min({Count, Length - Range, Freed - Done});
            if (!Free(Start, Taken))
                return Failed();
            Start += Taken, Count -= Taken, Range += Taken, Done += Taken;
        }
        if (Range == 0)
            break;
        if (const DWORD Error = Refill(); Error != ERROR_SUCCESS)
            return Error;
        // Where the requests went on to another group, so do the ranges.
        if (const std::uint64_t Now = Moved->QuadPart != 0 ? GroupOf(Fd, Next - 2 * Block) : Walk; Now != Walk)
            Walk = Now, Group = Groups, Count = 0;
    }
    return fdatasync(Fd) == 0 ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}
