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
// range, until a few times the kept space has been freed. A one-block
// request goes to small free pieces first, and what stays free at the end
// lies in freed ranges. Where the ranges go is what the two file systems
// differ in:
//   - ext4 neither rounds up a request that fallocate makes nor serves it
//     from a preallocation, so it asks for exactly one block. A large file's
//     requests go on in the group where the last one landed, taking a piece
//     of exactly one block as soon as they meet one, or else the smallest of
//     the first pieces scanned, and leave that group only once nothing in it
//     is free, for the next group (measured on Linux 6.18). So a freed range
//     in a group they reach is taken up in the end, whatever else is free in
//     the groups after it. The ranges are therefore freed one after another
//     in the group the requests reach last, counted from the group of the
//     file's last block, where its last pieces were taken. Freed from the
//     file's start, or in its longest piece, they left 850 to 2,000 deleted
//     files in five ordinary users' runs of twelve: the requests reached the
//     ranges before the groups holding the deleted files.
//   - xfs takes for a one-block request the free piece nearest the one it
//     took before, so that the requests move along the drive from piece to
//     piece, and walk through a freed range they meet. So the ranges are
//     spread over the whole file: a walk takes one range, and the requests
//     go on to the next small piece. Freed one after another from the start
//     of the file, they left 530 and 916 of some 2,300 in two runs of three.
// Measured on used 512 MiB ext4 and 320 MiB xfs drives that do not discard,
// against a plain fill to a full drive on the same drive: on ext4 as root,
// at most a few deleted files (7 blocks of them) stayed whole in eleven runs
// of eleven, where the plain fill left 775 to 2,793; as an ordinary user, whose kept space (root's reserve) is
// more than the group reached last holds of the file, a few in about half
// the runs, and in the others up to nine tenths of the plain fill's count:
// the requests start in the group where the fill's last request landed,
// not always that of the file's last block, and where that group comes
// after the one holding the deleted files, they reach it last. On xfs, 5 to
// 164 in nineteen runs of twenty-two, where it left 1,021 to 1,891, and 303
// to 492 in three, on drives with fewer than 1,100 deleted files, nearly
// all of which it left.
//
// The blocks are taken past the end of the file, every other one, so that
// no two merge into one piece and each request is a piece of its own. A
// range's requests take at most what it freed, and at most 768 MiB is freed
// in all, so the requests are bounded whatever the drive's size. All of it
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

// On ext4: where in the file the ranges to free start, 0 where the file
// system cannot say. The requests start in the group of the file's last
// block, and reach the groups after it in turn, so the ranges go in the
// file's longest piece in the group they reach last. The file's pieces are
// read a few at a time.
static std::uint64_t LastReached(int Fd, std::uint64_t Size, std::uint64_t GroupBytes, std::uint64_t Groups)
{
    constexpr unsigned Count = 32;
    alignas(fiemap) unsigned char Buffer[sizeof(fiemap) + Count * sizeof(fiemap_extent)];
    fiemap& Map = *reinterpret_cast<fiemap*>(Buffer);
    const auto Read = [&](std::uint64_t Offset) {
        std::memset(Buffer, 0, sizeof Buffer);
        Map.fm_start = Offset;
        Map.fm_length = Size - Offset;
        Map.fm_extent_count = Count;
        return ioctl(Fd, FS_IOC_FIEMAP, Buffer) == 0 && Map.fm_mapped_extents != 0;
    };
    if (Size == 0 || !Read(Size - 1))
        return 0;
    const std::uint64_t Start = Map.fm_extents[0].fe_physical / GroupBytes;
    std::uint64_t Where = 0, Latest = 0, Longest = 0;
    for (std::uint64_t Offset = 0; Offset < Size && Read(Offset);) {
        const std::uint64_t Before = Offset;
        for (unsigned N = 0; N < Map.fm_mapped_extents; ++N) {
            const fiemap_extent& Piece = Map.fm_extents[N];
            const std::uint64_t Reached = (Piece.fe_physical / GroupBytes % Groups + Groups - Start % Groups) % Groups;
            if (Reached > Latest || (Reached == Latest && Piece.fe_length > Longest))
                Where = Piece.fe_logical, Latest = Reached, Longest = Piece.fe_length;
            Offset = std::max<std::uint64_t>(Offset, Piece.fe_logical + Piece.fe_length);
        }
        if (Offset == Before)
            break;
    }
    return Where;
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
    // Freed in all: on ext4 four and a half times the kept space, on xfs
    // two and a quarter, within half the file. On ext4 two and a quarter
    // times left 475 to 722 deleted files in three runs of eight; on xfs
    // more would cost more than a quarter of the fill's time.
    const bool Packed = Volume.f_type == Ext4Magic;
    const std::uint64_t Freed = std::min({Packed ? Bytes / 2 * 9 : Bytes / 4 * 9, MostFreed, Size / 2});
    const std::uint64_t Length = std::min(RangeBytes, Freed) / Block * Block;
    if (Length == 0)
        return ERROR_NOT_SUPPORTED;
    const std::uint64_t Ranges = (Freed + Length - 1) / Length;
    // A group of ext4 holds as many blocks as its bitmap's block has bits.
    const std::uint64_t GroupBytes = Block * 8 * Block;
    const std::uint64_t Groups = (static_cast<std::uint64_t>(Volume.f_blocks) * Block + GroupBytes - 1) / GroupBytes;
    const std::uint64_t First =
        Packed && Groups != 0 ? std::min(LastReached(Fd, Size, GroupBytes, Groups), Size - Ranges * Length) / Block * Block
                              : 0;
    const std::uint64_t Pieces = DataLength / Block;
    std::uint64_t Next = Size + Block;
    for (std::uint64_t Range = 0; Range < Ranges; ++Range) {
        // On ext4 one after another, elsewhere spread over the file.
        const std::uint64_t Start = Packed || Ranges == 1 ? First + Range * Length
                                                          : (Size - Length) / (Ranges - 1) * Range / Block * Block;
        if (fallocate(Fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(Start),
                      static_cast<off_t>(Length)) != 0)
            return Moved->QuadPart == 0 && (errno == EOPNOTSUPP || errno == ENOSYS) ? ERROR_NOT_SUPPORTED
                                                                                    : ERROR_GEN_FAILURE;
        // The freed blocks can be taken again once the file system has
        // committed their release.
        if (fsync(Fd) != 0)
            return ERROR_GEN_FAILURE;
        // A request refused for want of space (ENOSPC; EDQUOT, EFBIG for a
        // quota or a size limit) means the drive is full again.
        for (; fallocate(Fd, 0, static_cast<off_t>(Next), static_cast<off_t>(Block)) == 0; Next += 2 * Block) {
            const void* const Piece = static_cast<const unsigned char*>(Data) + Next / Block % Pieces * Block;
            if (pwrite(Fd, Piece, Block, static_cast<off_t>(Next)) != static_cast<ssize_t>(Block))
                return ERROR_GEN_FAILURE;
            Moved->QuadPart += Block;
        }
        if (errno != ENOSPC && errno != EDQUOT && errno != EFBIG)
            return Moved->QuadPart == 0 && errno == EOPNOTSUPP ? ERROR_NOT_SUPPORTED : ERROR_GEN_FAILURE;
    }
    return fdatasync(Fd) == 0 ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}
