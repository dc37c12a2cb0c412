#include "filler.h"

#include "generator.h"
#include "meter.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

char RootPath[4] = {'?', ':', '\\', '\0'};
std::uint64_t FreeByteCount = 0;
std::uint64_t BytesWrittenTotal = 0;

// One write call per chunk.
constexpr DWORD ChunkSize = 0x10000;
static_assert(ChunkSize == 65536, "a chunk is 64 KiB");

// The fill bytes repeat every period, so the run makes one period, a window
// at a time as its first passes reach them, and every later pass writes again
// the window it would otherwise have made afresh: pass k writes window
// k mod ChunksPerPeriod. FillBuffer is the window of the current pass.
constexpr std::uint64_t ChunksPerPeriod = GeneratorPeriod / ChunkSize;
static_assert(GeneratorPeriod % ChunkSize == 0, "a period is whole chunks");

static const char TemporaryFileName[] = "QUORLANE.TMP";

// The free space of the last volume query: the bytes a file of this user
// can be given, and the bytes a file of any user could still be given, which
// a quota, or blocks reserved for another user, can make larger.
static ULARGE_INTEGER FreeBytesAvailable = {};
static ULARGE_INTEGER TotalNumberOfFreeBytes = {};
static char Answer = '\0';
static HANDLE FileHandle = INVALID_HANDLE_VALUE;
static unsigned char Period[GeneratorPeriod];
static unsigned char* FillBuffer = Period;
static DWORD LastWriteCount = 0;

// A full fill leaves only what no file can have, a few allocation units, and
// a fill stopped by a limit leaves megabytes: anything over 1 MiB left means
// the fill stopped short (the measurements are in docs/evidence.md).
constexpr std::uint64_t ShortFillMargin = 1 << 20;

// Asks the volume for its free space: the drive's, or for a place named by
// Directory, that of the current directory. A query that fails leaves the
// figures as they were; they start at zero.
static void QueryFreeSpace(const char* Directory)
{
    GetDiskFreeSpaceExA(Directory[0] != '\0' ? nullptr : RootPath, &FreeBytesAvailable, nullptr,
                        &TotalNumberOfFreeBytes);
}

// Where CheckCreateAccess says why no file can be made here (Refusal, with
// the system's Reason), says so, reason first, and what to do about it;
// Directory is the place named, or empty for a drive's root.
static void PrintCreateRefusal(DWORD Refusal, DWORD Reason, const char* Directory)
{
    PrintReasonText(Reason);
    if (Refusal == ERROR_WRITE_PROTECT) {
        std::fputs(": nothing can be written to this drive, so nothing was; make it writable to wipe it.\n", stdout);
        return;
    }
    std::printf(": only its owner or %s may write to ", AdministratorName);
    if (Directory[0] != '\0')
        PrintName(Directory);
    else
        std::fputs("the drive's root", stdout);
    std::printf("; run it %s.\n", ElevatedRun);
}

// Writes what the last volume query found free to this user, up to a
// window, from the window of the last pass; returns the bytes the file took.
static DWORD WriteTail()
{
    const std::uint64_t TailLength = std::min<std::uint64_t>(FreeBytesAvailable.QuadPart, ChunkSize);
    DWORD Written = 0;
    WriteFile(FileHandle, FillBuffer, static_cast<DWORD>(TailLength), &Written, nullptr);
    return Written;
}

FillVerdict FillAvailableSpace(const FillPlace& Place)
{
    QueryFreeSpace(Place.Directory);
    FreeByteCount = FreeBytesAvailable.QuadPart;

    // A path names any directory, and a mount that failed leaves a plain
    // one: say which file system a run on it fills before asking.
    if (Place.Volume[0] != '\0') {
        std::fputs("The drive is ", stdout);
        PrintName(Place.Volume);
        if (Place.FileSystem[0] != '\0') {
            std::fputs(" (", stdout);
            PrintName(Place.FileSystem);
            if (std::strchr(Place.Device, '/') != nullptr) {  // a device or a dataset, not a name like "tmpfs"
                std::fputs(" on ", stdout);
                PrintName(Place.Device);
            }
            std::fputs(")", stdout);
        }
        if (std::strcmp(Place.Volume, Place.Directory) != 0) {
            std::fputs(", the file system that holds ", stdout);
            PrintName(Place.Directory);
        }
        std::fputs(".\n", stdout);
    }

    // Where no file can be made (a read-only drive, a directory of another
    // user's), nothing is asked: the answer could change nothing.
    const DWORD Access = CheckCreateAccess();
    if (Access != ERROR_SUCCESS) {
        PrintCreateRefusal(Access, GetLastError(), Place.Directory);
        return FillVerdict::Refused;
    }
    // Space this user cannot have (root's reserve, a quota) stays as it is:
    // told before the question, a user can still answer no and run it so
    // that it is reached.
    const std::uint64_t Unreachable = TotalNumberOfFreeBytes.QuadPart - std::min(FreeBytesAvailable.QuadPart,
                                                                                  TotalNumberOfFreeBytes.QuadPart);
    if (Unreachable > ShortFillMargin) {
        std::fputs("This run cannot write ", stdout);
        PrintBytes(Unreachable);
        std::printf(" of the free space, kept from this user for %s or by a quota: ", AdministratorName);
        if (MovesSpaceKeptFromUser)
            std::fputs("before the delete it moves what it can of that space onto the fill, writing up to the fill's "
                       "size again a block at a time, which can take twice as long as the fill; ",
                       stdout);
        std::printf("to overwrite them %s, answer n and run it %s, or lift the quota.\n",
                    MovesSpaceKeptFromUser ? "in one pass" : "too", ElevatedRun);
    }

    std::fputs("Warning! This process will make it impossible for you to recover any data that\n", stdout);
    std::fputs("has been marked as deleted by the file system. Continue? ", stdout);
    std::fflush(stdout);  // The prompt must show before the program waits for the answer.
    if (Place.Confirmed) {
        Answer = 'y';
        std::fputs("y", stdout);
    } else if (std::scanf(" %c", &Answer) != 1) {
        Answer = '\0';
    }
    std::fputs("\n", stdout);
    std::fflush(stdout);
    if (Answer != 'y' && Answer != 'Y')
        return FillVerdict::Declined;

    // CREATE_NEW never opens an existing file, so a file of the user's that
    // happens to bear this name is refused, not overwritten.
    FileHandle = CreateFileA(TemporaryFileName, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_NORMAL, nullptr);
    // The name is blamed only where the place would otherwise take a file.
    if (FileHandle == INVALID_HANDLE_VALUE) {
        const DWORD Reason = GetLastError();
        const DWORD Refusal = CheckCreateAccess();
        if (Refusal != ERROR_SUCCESS) {
            PrintCreateRefusal(Refusal, GetLastError(), Place.Directory);
            return FillVerdict::Refused;
        }
        std::fputs("Could not create temporary file. Please make sure that there is not already a\n", stdout);
        if (Place.Directory[0] != '\0') {
            std::fputs("file named QUORLANE.TMP in ", stdout);
            PrintName(Place.Directory);
            std::fputs(".\n", stdout);
        } else
            std::fputs("file named QUORLANE.TMP in the root directory of the destination drive.\n", stdout);
        PrintReason(Reason);
        return FillVerdict::Refused;
    }

    if (Place.Directory[0] != '\0') {
        std::fputs("Quorlane is now generating a file containing random data in the directory\n", stdout);
        std::fputs("you specified. The file will take up the remaining available disk\n", stdout);
    } else {
        std::fputs("Quorlane is now generating a file containing random data in the root directory\n", stdout);
        std::fputs("of the drive you specified. The file will take up the remaining available disk\n", stdout);
    }
    std::fputs("space and will be deleted after this operation is complete. You can abort this\n", stdout);
    std::fputs("process at any time with CTRL+C or CTRL+BREAK\n\n", stdout);
    CharUpperA(RootPath);
    if (Place.Volume[0] != '\0') {
        std::fputs("Drive ", stdout);
        PrintName(Place.Volume);
        std::printf(" (%" PRIu64 " bytes free)\n", FreeByteCount);
    } else
        std::printf("Drive %c (%" PRIu64 " bytes free)\n", RootPath[0], FreeByteCount);
    std::fflush(stdout);

    // A refused write is the normal end of the loop: the drive is full. Any
    // other failure ends it the same way, since there is nothing better to do
    // than to finish, flush and delete.
    const std::uint64_t Started = GetTickCount64();
    SeedGenerator(static_cast<std::uint32_t>(std::time(nullptr)));
    LastWriteCount = 0;
    for (std::uint64_t Pass = 0;; ++Pass) {
        BytesWrittenTotal += LastWriteCount;
        AdvanceMeter(Place.Console, Started);
        FillBuffer = Period + Pass % ChunksPerPeriod * ChunkSize;
        if (Pass < ChunksPerPeriod)
            GenerateFillBytes(FillBuffer, ChunkSize);
        if (!WriteFile(FileHandle, FillBuffer, ChunkSize, &LastWriteCount, nullptr))
            break;
    }

    // The write that ended the loop may have put part of its chunk in the
    // file; that counts as written, as the tail does.
    const std::uint64_t EndedShort = LastWriteCount;

    // Less than a chunk may still be free to this user: fill it from the last
    // window. The length is capped at the window, since a loop ended by
    // something other than a full drive (a file size limit, space freed by
    // another program) can leave more space than that. What is left then, of
    // the space a file of any user could be given, was not overwritten: a
    // quota or blocks reserved for another user keep it from this file.
    QueryFreeSpace(Place.Directory);
    DWORD TailCount = WriteTail();
    std::uint64_t Overwritten = BytesWrittenTotal + EndedShort + TailCount;

    std::fputs("\n", stdout);
    std::fflush(stdout);
    std::fputs("Flushing file buffers...\n", stdout);
    std::fflush(stdout);

    // The data must reach the medium before the close deletes the file, or
    // the overwrite could stay in the cache and be dropped with the file. A
    // failed flush means some of it never got there (a device failing, a
    // file system turned read-only): say so rather than let the run pass for
    // a wipe, and leave such a drive untrimmed.
    bool Flushed = FlushFileBuffers(FileHandle) != FALSE;
    // A journalling file system may hold blocks freed during the fill (ext4:
    // the block of the new file's probe) until its journal commits, which the
    // flush forces: space that came free with it goes into the file too.
    if (Flushed) {
        const std::uint64_t LeftBefore =
            FreeBytesAvailable.QuadPart - std::min<std::uint64_t>(TailCount, FreeBytesAvailable.QuadPart);
        QueryFreeSpace(Place.Directory);
        TailCount = FreeBytesAvailable.QuadPart > LeftBefore ? WriteTail() : 0;
        Overwritten += TailCount;
        Flushed = TailCount == 0 || FlushFileBuffers(FileHandle) != FALSE;
    }
    const std::uint64_t TotalFree = TotalNumberOfFreeBytes.QuadPart;
    const std::uint64_t LeftBytes = TotalFree - std::min<std::uint64_t>(TailCount, TotalFree);
    const bool LeftToThisUser = FreeBytesAvailable.QuadPart > ShortFillMargin;
    bool Incomplete = !Flushed;
    if (!Flushed) {
        std::fputs("Could not write all the data to the drive; its free space may not have been overwritten. Check "
                   "the drive (the system's log says why), then run it again.\n",
                   stdout);
        std::fflush(stdout);
    }
    // Space left that this user could have had means the file could grow no
    // further; space left that only another could have had was kept from
    // this user.
    if (LeftBytes > ShortFillMargin) {
        Incomplete = true;
        std::printf("The drive's free space was not all overwritten: %" PRIu64 " bytes were left", LeftBytes);
        if (LeftBytes >= 1024) {
            char Human[24];
            FormatBytes(LeftBytes, Human);
            std::printf(" (%s)", Human);
        }
        if (LeftToThisUser)
            std::fputs(", as the fill's file could grow no further (a limit on a file's size, or a write the drive "
                       "refused); lift the limit, then run it again.\n",
                       stdout);
        else
            std::printf(", kept from this user for %s or by a quota; run it %s, or lift the quota, to overwrite "
                        "them.\n",
                        AdministratorName, ElevatedRun);
        std::fflush(stdout);
    }
    // What the file system keeps is measured once, with the drive full: the
    // move needs it before the delete, and the report after it. A drive the
    // data did not all reach is neither moved on nor trimmed, and a file
    // that could grow no further cannot take the kept space either (its
    // attributes can still go into the metadata).
    const Remains Kept = Flushed ? MeasureRemains() : Remains{};
    const MoveResult Move =
        Flushed && (!LeftToThisUser || Kept.KeptIn == KEPT_IN_METADATA)
            ? MoveKeptSpace(FileHandle, FillBuffer, ChunkSize, Kept, LeftBytes > ShortFillMargin ? LeftBytes : 0)
            : MoveResult{0, ERROR_NOT_SUPPORTED, ERROR_SUCCESS, KEPT_SIZE_UNKNOWN};
    // Where the move took what was kept from this user too, and the file
    // system's map then shows no free block the fill did not write, the
    // space the fill left is written after all.
    const bool MovedLeft = LeftBytes > ShortFillMargin && !LeftToThisUser && Move.Status == ERROR_SUCCESS &&
                           Move.KeptLeft == 0;
    if (MovedLeft) {
        std::fputs("What was kept from this user was moved onto the fill as well: the file system's map of its free "
                   "space shows that the fill wrote every free block.\n",
                   stdout);
        std::fflush(stdout);
    }
    CloseHandle(FileHandle);
    const TrimReport End = Flushed ? TrimDeletedSpace(Kept, Move) : TrimReport{};
    Incomplete = (Incomplete && !MovedLeft) || Move.Status == ERROR_GEN_FAILURE || End.Incomplete;

    // What the run did, as measured: the bytes the file took, the time, and
    // the verdict its status gives.
    char Took[32];
    FormatDuration(GetTickCount64() - Started, Took);
    std::printf("Done in %s: wrote ", Took);
    PrintBytes(Overwritten);
    std::printf(" over the free space%s; %s\n", End.Trimmed ? ", then trimmed it" : "",
                Incomplete ? "deleted data may remain, where the lines above say."
                           : "nothing that deleted files left there remains.");
    std::fflush(stdout);
    return Incomplete ? FillVerdict::Incomplete : FillVerdict::Wiped;
}
