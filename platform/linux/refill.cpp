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
// on to another group, so do the ranges. Inside a group, ext4 gives such a
// request the smallest of the first few free pieces from the group's start,
// and so reaches its highest blocks last: the stretches there are freed
// from the highest down. That order is all there is on a drive of one
// group, as a small one of 64 KiB clusters is (its groups are of 2 GiB).
// How this was found, and what it reaches, is in docs/evidence.md.
//
// The units (blocks, or ext4's clusters) are taken past the end of the
// file, every other one, so that each request is a piece of its own; all of
// it goes with the fill's nameless file on close. Where each freed piece
// lies is noted, and once the move is done the file system's map of its
// free space tells which free blocks lie outside them, which no fill wrote:
// that figure, not the order of the requests, is what the run reports, and
// where it is not 0, a few ranges more are freed. On xfs, whose requests go
// where the file points them, the free blocks still outside the freed
// pieces are then taken where they lie; on ext4, the large pieces among
// them, by large requests (aim.cpp).

#include "internal.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/statfs.h>

// What one range frees.
constexpr std::uint64_t RangeBytes = std::uint64_t{2} << 20;

// At most how many ranges more are freed where the move leaves free blocks
// unwritten.
constexpr int ExtraRounds = 4;

// The bytes of the blocks that hold the file's own records of where its
// pieces lie (ext4's extent tree, xfs's block map), which it took from the
// free space and which go free with it, where they may keep what they held:
// the journal has them written to their place only once it has committed
// them, and never for a file deleted before then. ext4 writes them there
// when root has its journal checkpointed, or anyone has it synced; then
// they hold the records, but for the rest of each cluster on bigalloc.
// Elsewhere they are what the file's allocation, in Unit clusters, counts
// beyond its Mapped bytes of pieces.
static std::uint64_t UnplacedRecordBytes(int Fd, const struct statfs& Volume, const struct stat& Status,
                                         std::uint64_t Mapped, std::uint64_t Unit)
{
    const std::uint64_t Allocated = static_cast<std::uint64_t>(Status.st_blocks) * 512;
    const std::uint64_t Records = Allocated > Mapped ? Allocated - Mapped : 0;
    if (Volume.f_type == Ext4Magic && WriteJournalInPlace(Fd))
        return RecordsLeftUnwritten(Records, Unit, static_cast<std::uint64_t>(Volume.f_bsize));
    return Records;
}

MoveResult RefillFreedRanges(HANDLE File, ULONGLONG BytesToFree, LPCVOID Data, DWORD DataLength)
{
    MoveResult Result = {0, ERROR_SUCCESS, 0, KEPT_SIZE_UNKNOWN};
    const int Fd = Descriptor(File);
    struct statfs Volume;
    struct stat Status;
    if (fstatfs(Fd, &Volume) != 0 || fstat(Fd, &Status) != 0 || Volume.f_bsize <= 0)
        return {0, ERROR_NOT_SUPPORTED, 0, KEPT_SIZE_UNKNOWN};
    const std::uint64_t Block = static_cast<std::uint64_t>(Volume.f_bsize);
    // Each request takes a whole allocation unit, a cluster where ext4
    // allocates clusters of several blocks (bigalloc), and writes all of it.
    const std::uint64_t Unit = std::max(Block, FillClusterBytes(Status.st_dev));
    const std::uint64_t Size = static_cast<std::uint64_t>(Status.st_size) / Unit * Unit;
    // At most the whole file: where more is kept from this user than half
    // the fill (root's reserve on a large drive), all of it is freed in turn.
    const std::uint64_t Freed = std::min(BytesToFree, Size) / Unit * Unit;
    const std::uint64_t Length = std::min(RangeBytes / Unit * Unit, Freed);
    if (Length == 0 || Unit > DataLength)
        return {0, ERROR_NOT_SUPPORTED, 0, KEPT_SIZE_UNKNOWN};
    const MoveFile Fill = {Fd, Unit, static_cast<const unsigned char*>(Data), DataLength / Unit};
    std::uint64_t NextBlock = Size + Unit;  // where the next unit is taken, past the end
    // Where on the drive the freed pieces lie: each holds the fill's bytes,
    // which reached the disk before the move, until something takes it
    // again. Every piece is a block or more, so the room is bounded by what
    // is freed: 16 bytes a block, 64 MiB for 16 GiB of 4 KiB blocks, of which
    // the system gives only what the list reaches, as freed pieces that go
    // on from the last are merged. Without the room, the move goes on
    // unmeasured. On xfs the blocks taken where they lie add a list of their
    // own; on ext4 the runs freed for the large pieces, a quarter as many
    // again (a piece for every 16 blocks freed, in up to four passes), and
    // where the list is full, the runs it leaves out are counted unwritten.
    const std::size_t Room = static_cast<std::size_t>((Freed + ExtraRounds * Length) / Block + 1) +
                             (Volume.f_type == XfsMagic ? AimedPieces : static_cast<std::size_t>(Freed / Block / 4));
    const std::unique_ptr<DrivePiece[], void (*)(void*)> Pieces(
        static_cast<DrivePiece*>(std::malloc(Room * sizeof(DrivePiece))), std::free);
    PieceList Written = {Pieces.get(), 0, Pieces ? Room : 0};
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
    // of a file, and a full drive can have none: the last units taken are
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
        if (errno != ENOSPC || NextBlock < Size + (2 * GivenBack + 1) * Unit || fdatasync(Fd) != 0 ||
            ftruncate(Fd, static_cast<off_t>(NextBlock - 2 * GivenBack * Unit)) != 0)
            return false;
        NextBlock -= 2 * GivenBack * Unit;
        Result.MovedBytes -= GivenBack * Unit;
        return Punch();
    };
    // Waits until the file system has committed the release of what was
    // freed, so that it can be taken again, and takes units one at a time,
    // each allocated first and then written, until the drive is full again.
    // ext2 and ext3 allocate nothing ahead of a write: there the write takes
    // it. Returns 0 once a request is refused for want of space, else the
    // errno of the call that failed (EDQUOT, EFBIG: a quota or a size limit
    // ends the move), EIO for a short write.
    bool Allocates = true;
    const auto Refill = [&]() -> int {
        if (fsync(Fd) != 0)
            return errno;
        for (;; NextBlock += 2 * Unit) {
            if (Allocates && fallocate(Fd, 0, static_cast<off_t>(NextBlock), static_cast<off_t>(Unit)) != 0) {
                if (errno != EOPNOTSUPP)
                    break;
                Allocates = false;
            }
            if (const int Error = WriteFill(Fill, NextBlock, Unit); Error != 0) {
                if (Error == ENOSPC && !Allocates)
                    break;
                return Error;
            }
            Result.MovedBytes += Unit;
        }
        return errno == ENOSPC ? 0 : errno;
    };
    const GroupLayout Layout = DriveGroups(Fd, Volume, Status);
    // What the file holds in each group, read once: 16 bytes a group, 2 MiB
    // for the 131,072 groups of a 16 TiB ext4.
    const std::unique_ptr<GroupTally[], void (*)(void*)> Tally(
        static_cast<GroupTally*>(std::malloc(Layout.Count * sizeof(GroupTally))), std::free);
    if (!Tally)
        return Failed(ENOMEM);
    const std::uint64_t Tallied = TallyGroups(Fd, Layout, Size, Tally.get());
    std::uint64_t Done = 0;
    // The free space no fill wrote, before the move, where the map can be
    // read: what the move wrote into the kept space is what of it the map
    // shows taken at the end. The units its requests took count the freed
    // ranges taken back too, which held the fill already.
    std::uint64_t AllFree = 0, UnwrittenBefore = 0;
    const bool MappedBefore = Written.Room != 0 && MapFreeSpace(Fd, nullptr, 0, AllFree, UnwrittenBefore);
    // Each range goes in the group the requests reach last from the one
    // where the last of them landed (at first, that of the file's last
    // block), made of as many of the file's stretches there as it takes,
    // the highest on the drive first. They are read a batch at a time, each
    // the highest the file still holds there, in 24 KiB.
    constexpr std::size_t Batch = 1024;
    const std::unique_ptr<FileStretch[], void (*)(void*)> Top(
        static_cast<FileStretch*>(std::malloc(Batch * sizeof(FileStretch))), std::free);
    if (!Top)
        return Failed(ENOMEM);
    std::size_t Listed = 0, Next = 0;
    std::uint64_t RequestGroup = GroupOf(Fd, Layout, Size - Block), Group = Layout.Count;
    FileStretch Stretch = {0, 0, 0};
    // Sets Stretch to the next one to free; false where the file holds none
    // in any group. A group where none is found is done with.
    const auto NextStretch = [&] {
        while (Next == Listed) {
            if ((Group == Layout.Count || Tally[Group].Bytes == 0) &&
                (Group = GroupReachedLast(Layout, Tally.get(), RequestGroup)) == Layout.Count)
                return false;
            Listed = HighestStretchesIn(Fd, Layout, Tally[Group].FirstLogical, Tally[Group].EndLogical, Group,
                                        Top.get(), Batch);
            Next = 0;
            if (Listed == 0)
                Tally[Group].Bytes = 0;
        }
        Stretch = Top[Next++];
        return true;
    };
    // Where the move frees more than a few groups' worth (root's reserve on
    // a large drive), each range is all that the file holds in one group:
    // ext4 serves a one-block request first from the groups whose free
    // pieces are smallest on average, so a range that frees part of a group
    // would be taken again before the large free pieces no fill wrote.
    const bool WholeGroups = Freed > 4 * Layout.Bytes;
    const std::uint64_t RoundBytes = WholeGroups ? Layout.Bytes : Length;
    // Frees range after range, each taken up again by the requests, until
    // Goal bytes have been freed or the file has no stretch left to free.
    // Returns 0, else the errno of the call that failed.
    const auto MoveUntil = [&](std::uint64_t Goal) -> int {
        while (Done < Goal) {
            std::uint64_t Range = 0;
            while (Range < RoundBytes && Done < Goal && !(WholeGroups && Range != 0 && Tally[Group].Bytes == 0)) {
                if (Stretch.Length == 0 && !NextStretch())
                    break;
                // The stretch's highest part, where only part of it is freed.
                const std::uint64_t Taken = std::min({Stretch.Length, RoundBytes - Range, Goal - Done});
                Stretch.Length -= Taken;
                if (!Free(Stretch.Logical + Stretch.Length, Taken))
                    return errno;
                NotePiece(Written, Stretch.Physical + Stretch.Length, Taken);
                Tally[Group].Bytes -= std::min(Tally[Group].Bytes, Taken);
                Range += Taken, Done += Taken;
            }
            if (Range == 0)
                return 0;
            if (const int Error = Refill(); Error != 0)
                return Error;
            // Where the requests went on to another group, so do the ranges.
            const std::uint64_t Now =
                Result.MovedBytes != 0 ? GroupOf(Fd, Layout, NextBlock - 2 * Unit) : RequestGroup;
            if (Now != RequestGroup)
                RequestGroup = Now, Group = Layout.Count, Stretch.Length = 0, Listed = Next = 0;
        }
        return 0;
    };
    if (const int Error = MoveUntil(Freed); Error != 0)
        return Failed(Error);
    // On xfs, where the map can be read, the free blocks the refills did not
    // write are then taken where they lie, for the last units taken, which
    // are given back to leave room to free part of the file.
    constexpr std::uint64_t Spare = 16;
    if (Volume.f_type == XfsMagic && Written.Room != 0 && NextBlock >= Size + (2 * Spare + 1) * Unit &&
        fdatasync(Fd) == 0 && ftruncate(Fd, static_cast<off_t>(NextBlock - 2 * Spare * Unit)) == 0) {
        NextBlock -= 2 * Spare * Unit;
        Result.MovedBytes -= Spare * Unit;
        const AimResult Aimed = TakeUnwritten(Fill, Layout, Tally.get(), Written, NextBlock - 2 * Unit);
        Result.MovedBytes += Aimed.Taken, Done += Aimed.Freed;
        if (Aimed.Error != 0)
            return Failed(Aimed.Error);
    }
    if (Volume.f_type == Ext4Magic && Written.Room != 0 && Allocates && NextBlock > Size + Unit) {
        const AimResult Large = TakeLargePieces(Fill, Layout, Written, NextBlock - 2 * Unit);
        Result.MovedBytes += Large.Taken, Done += Large.Freed;
        if (Large.Error != 0)
            return Failed(Large.Error);
    }
    if (fdatasync(Fd) != 0)
        return Failed(errno);
    // What stays free and holds no fill, where the file system's map of its
    // free space can be read: the kept space that still keeps what it held.
    // Freeing the unit never taken before the first lets go first of what
    // ext4 may have set aside for the file's next requests, which would
    // otherwise come free, unwritten, only when the file goes; where that
    // fails, nothing is measured. Nor where the file system allocates only
    // as it writes (ext2, ext3): there the map missed free blocks no fill
    // wrote, and a run that counted none left a deleted file's blocks.
    std::uint64_t Unwritten = 0;
    const auto Measure = [&] {
        if (fallocate(Fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(Size),
                      static_cast<off_t>(Unit)) != 0)
            return false;
        SortPieces(Written);
        return MapFreeSpace(Fd, Written.Pieces, Written.Count, AllFree, Unwritten);
    };
    bool Measured = Written.Room != 0 && Allocates && Measure();
    // Where free blocks stay that no fill wrote, the requests passed them by
    // for the pieces freed: a few ranges more are freed, whose requests take
    // the blocks passed by first where they lie in the group they reach, as
    // ext4 serves a one-block request from the smallest free pieces. All of
    // them are freed whatever the one before took: a range that takes none
    // of those blocks can be followed by one that takes them all.
    for (int Round = 0; Measured && Unwritten != 0 && Round < ExtraRounds && Done < Size; ++Round) {
        if (const int Error = MoveUntil(std::min(Size, Done + Length)); Error != 0 || fdatasync(Fd) != 0)
            return Failed(Error != 0 ? Error : errno);
        Measured = Measure();
    }
    if (Measured && fstat(Fd, &Status) == 0) {
        Result.KeptLeft = Unwritten + UnplacedRecordBytes(Fd, Volume, Status, Tallied - Done + Result.MovedBytes, Unit);
        if (MappedBefore)
            Result.MovedBytes = UnwrittenBefore > Unwritten ? UnwrittenBefore - Unwritten : 0;
    }
    return Result;
}
