// Taking the free blocks no fill wrote, where they lie, on xfs, and the
// large free pieces no fill wrote, on ext4.
//
// Once the move's refills are done, xfs's map of its free space (which it
// gives any user) can still show free blocks outside the pieces the move freed:
// blocks no fill wrote, which may hold what deleted files left. xfs places a
// request past the end of a file on the block the file's last piece points
// to (the piece's end on the drive, on by the distance in the file) where
// that block is free and in the piece's group, and else on the free block
// nearest it; and it keeps a share of each group's free blocks from every
// file. So, group by group, as many of the file's own blocks in that group
// as such blocks lie there are freed (they hold the fill), and a few more,
// which the next freeing needs; then each such block is asked for in the
// drive's order, from the file's end on, and written. Where the file has
// fewer blocks in the group than that (a nearly full drive, whose fill is
// small), the blocks just taken are freed in their turn, once what was
// written to them is on the disk, and so on. In a group where the
// file has no block, nothing can be freed in exchange, and what is free
// there stays as it is. A pass reads the map afresh; the passes end when no
// such block is left, or a pass took none, or after four.
//
// ext4 does not place a request where the file points, but serves a
// one-block request from the groups whose free pieces are smallest, and
// the refills take the small holes where deleted files lay; what they
// leave is large pieces no file has had, mostly in the first group of each
// flex group, which ext4 gives a large write last (on a used 256 GiB
// drive, 2 to 7 GB after an ordinary user's refills).
// A request of many blocks, though, goes to a group whose free pieces are
// that large on average, and to the smallest free piece there that holds
// it. So the file frees as much of itself as is free in all, in runs of 16
// units with 16 kept between them, pieces too small for such a request,
// and asks for all of it again 30 MiB at a time: the requests take the
// large pieces, those no fill wrote among them, before any run it freed.
// A pass reads the map afresh; the passes end when nothing unwritten is
// left, or a pass took none of it, or after four.

#include "internal.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <fcntl.h>

int WriteFill(const MoveFile& File, std::uint64_t At, std::uint64_t Count)
{
    const std::uint64_t Window = File.WindowUnits * File.Unit;
    for (std::uint64_t Done = 0; Done < Count;) {
        const std::uint64_t Offset = (At + Done) % Window, Part = std::min(Count - Done, Window - Offset);
        const ssize_t Wrote = pwrite(File.Fd, File.Data + Offset, Part, static_cast<off_t>(At + Done));
        if (Wrote != static_cast<ssize_t>(Part))
            return Wrote < 0 ? errno : EIO;
        Done += Part;
    }
    return 0;
}

// Frees up to Want bytes of File before End in Group, from its stretches
// there in the file's order, noting them on Written; returns the bytes
// freed, or sets Error.
static std::uint64_t FreeInGroup(const MoveFile& File, std::uint64_t End, const GroupLayout& Layout,
                                 GroupTally& Tally, std::uint64_t Group, std::uint64_t Want, PieceList& Written,
                                 int& Error)
{
    std::uint64_t Freed = 0;
    while (Freed < Want && Tally.Bytes != 0) {
        std::uint64_t Start = 0, Physical = 0;
        const std::uint64_t Count =
            std::min(NextStretchIn(File.Fd, Layout, Tally.FirstLogical, End, Group, Start, Physical), Want - Freed);
        if (Count == 0)
            break;
        if (fallocate(File.Fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(Start),
                      static_cast<off_t>(Count)) != 0) {
            Error = errno;
            break;
        }
        NotePiece(Written, Physical, Count);
        Tally = {Tally.Bytes - std::min(Tally.Bytes, Count), Start + Count, Tally.EndLogical};
        Freed += Count;
    }
    return Freed;
}

AimResult TakeUnwritten(const MoveFile& File, const GroupLayout& Layout, GroupTally* Tally, PieceList& Written,
                        std::uint64_t Last)
{
    // What a group gives at a time, and the units freed beyond it.
    constexpr std::uint64_t Batch = std::uint64_t{32} << 20, Spare = 16;
    const std::uint64_t Unit = File.Unit;
    const std::unique_ptr<DrivePiece[], void (*)(void*)> Gaps(
        static_cast<DrivePiece*>(std::malloc(AimedPieces * sizeof(DrivePiece))), std::free);
    AimResult Result = {0, 0, 0};
    // Where the file ends, in the file and on the drive (UINT64_MAX: not
    // known).
    std::uint64_t EndLogical = Last + Unit, EndPhysical = PlaceOf(File.Fd, Last);
    EndPhysical += EndPhysical != UINT64_MAX ? Unit : 0;
    // Every unit of the file may be freed in exchange, the ones the move
    // took too, once what was written to them is on the disk: so a few of
    // the file's blocks in a group take all that is free there, in turn.
    TallyGroups(File.Fd, Layout, EndLogical, Tally);
    bool Unflushed = false;
    for (std::uint64_t Pass = 0, Before = UINT64_MAX; Pass < 4 && Gaps; ++Pass) {
        SortPieces(Written);
        std::uint64_t AllFree = 0, Unwritten = 0;
        std::size_t Found = 0;
        if (!MapFreeSpace(File.Fd, Written.Pieces, Written.Count, AllFree, Unwritten, Gaps.get(), AimedPieces,
                          &Found) ||
            Unwritten == 0 || Unwritten >= Before)
            break;
        Before = Unwritten;
        for (std::size_t First = 0, Next = 0; First < Found; First = Next) {
            const std::uint64_t Group = GroupOfByte(Gaps[First].Physical, Layout);
            std::uint64_t Left = 0;
            for (; Next < Found && GroupOfByte(Gaps[Next].Physical, Layout) == Group && Left < Batch; ++Next)
                Left += Gaps[Next].Length / Unit * Unit;
            // What was freed in the group and not taken again: xfs places a
            // block in a group only while Spare units or so of it are free
            // beyond the share it keeps, for the records of the file's map.
            std::size_t Index = First;
            std::uint64_t Target = Gaps[First].Physical, Slack = 0;
            for (bool Took = true; Left != 0 && Took && Result.Error == 0;) {
                if (Unflushed && fdatasync(File.Fd) != 0) {
                    Result.Error = errno;
                    break;
                }
                Unflushed = Took = false;
                const std::uint64_t Want = Left + Spare * Unit;
                const std::uint64_t Freed = FreeInGroup(File, EndLogical, Layout, Tally[Group], Group,
                                                        Want > Slack ? Want - Slack : 0, Written, Result.Error);
                Result.Freed += Freed, Slack += Freed;
                if (Freed != 0 && Result.Error == 0 && fsync(File.Fd) != 0)
                    Result.Error = errno;
                for (; Slack > Spare * Unit && Left != 0 && Result.Error == 0;) {
                    if (Target + Unit > Gaps[Index].Physical + Gaps[Index].Length) {
                        if (++Index == Next)
                            Left = 0;
                        else
                            Target = Gaps[Index].Physical;
                        continue;
                    }
                    const bool Points = EndPhysical != UINT64_MAX && Target >= EndPhysical &&
                                        GroupOfByte(EndPhysical - Unit, Layout) == Group;
                    const std::uint64_t At = EndLogical + (Points ? Target - EndPhysical : 0);
                    if (fallocate(File.Fd, 0, static_cast<off_t>(At), static_cast<off_t>(Unit)) != 0) {
                        Result.Error = errno;
                        break;
                    }
                    if ((Result.Error = WriteFill(File, At, Unit)) != 0)
                        break;
                    Result.Taken += Unit, Target += Unit, Slack -= Unit, Left -= Unit;
                    Unflushed = Took = true;
                    EndLogical = At + Unit;
                    EndPhysical = PlaceOf(File.Fd, At);
                    // The unit is the file's to free again, in the group it
                    // landed in.
                    if (EndPhysical != UINT64_MAX) {
                        GroupTally& Landed = Tally[GroupOfByte(EndPhysical, Layout)];
                        Landed.FirstLogical = Landed.Bytes == 0 ? At : Landed.FirstLogical;
                        Landed.Bytes += Unit;
                        Landed.EndLogical = std::max(Landed.EndLogical, At + Unit);
                        EndPhysical += Unit;
                    }
                }
            }
            // A group full again (ENOSPC) ends the taking there, not the
            // move.
            if (Result.Error == ENOSPC)
                Result.Error = 0;
            if (Result.Error != 0)
                return Result;
        }
    }
    return Result;
}

AimResult TakeLargePieces(const MoveFile& File, const GroupLayout& Layout, PieceList& Written, std::uint64_t Last)
{
    // What is freed at a time, and every other such run is kept; what is
    // asked for at a time, many times that, and not a power of two, which
    // ext4 would keep from a flex group's first group.
    constexpr std::uint64_t RunUnits = 16, Request = std::uint64_t{30} << 20;
    const std::uint64_t Unit = File.Unit;
    AimResult Result = {0, 0, 0};
    const std::unique_ptr<DrivePiece[], void (*)(void*)> Gaps(
        static_cast<DrivePiece*>(std::malloc(AimedPieces * sizeof(DrivePiece))), std::free);
    std::uint64_t At = Last + 2 * Unit;
    for (std::uint64_t Pass = 0, Before = UINT64_MAX; Pass < 4 && Gaps; ++Pass) {
        std::uint64_t AllFree = 0, Unwritten = 0, Largest = 0;
        std::size_t Found = 0;
        SortPieces(Written);
        if (fdatasync(File.Fd) != 0) {
            Result.Error = errno;
            return Result;
        }
        // Where the map cannot be read (qemu-user does not pass the request
        // on), nothing shows what is left, and the run says so.
        if (!MapFreeSpace(File.Fd, Written.Pieces, Written.Count, AllFree, Unwritten, Gaps.get(), AimedPieces,
                          &Found) ||
            Unwritten == 0 || Unwritten >= Before)
            return Result;
        Before = Unwritten;
        // Where the largest unwritten piece is smaller than a request, the
        // requests are that size, but never so small that a run serves one.
        for (std::size_t Index = 0; Index < Found; ++Index)
            Largest = std::max(Largest, Gaps[Index].Length);
        const std::uint64_t Asked = std::min(std::max(Largest, 8 * RunUnits * Unit), Request) / Unit * Unit;
        const std::uint64_t Freed =
            FreeEveryOther(File.Fd, Layout, At - Unit, RunUnits * Unit, AllFree / Unit * Unit, Written, Result.Error);
        Result.Freed += Freed;
        if (Result.Error != 0 || Freed == 0)
            return Result;
        if (fsync(File.Fd) != 0) {
            Result.Error = errno;
            return Result;
        }
        for (std::uint64_t Taken = 0; Taken < Freed;) {
            const std::uint64_t Count = std::min(Asked, Freed - Taken);
            if (fallocate(File.Fd, 0, static_cast<off_t>(At), static_cast<off_t>(Count)) != 0) {
                // What a refused request took in part goes back, unwritten;
                // a full drive ends the pass, anything else the move.
                const int Refusal = errno;
                if (fallocate(File.Fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(At),
                              static_cast<off_t>(Count)) != 0)
                    Result.Error = errno;
                else if (Refusal != ENOSPC)
                    Result.Error = Refusal;
                if (Result.Error != 0)
                    return Result;
                break;
            }
            if ((Result.Error = WriteFill(File, At, Count)) != 0)
                return Result;
            Taken += Count, At += Count;
            Result.Taken += Count;
        }
        At += Unit;
    }
    return Result;
}
