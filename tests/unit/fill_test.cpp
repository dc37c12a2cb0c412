// FillAvailableSpace against a scripted backend: the faults a real file system
// cannot be made to show on demand (a loop ended by something other than a
// full drive, a quota, free space past 32 bits of clusters, writes that
// succeed short), the order of the calls the program relies on, and the bytes
// of every write.
#include "filler.h"
#include "generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

// What the backend reports, and what it saw.
struct Volume {
    std::uint64_t Free[2][2] = {};  // bytes available to the user, and free in all; per query
    int Queries = 0;
    bool RefuseCreation = false;
    int ChunksAccepted = 0;       // whole writes that succeed before the first refusal
    DWORD ShortBy = 0;            // bytes each successful write reports fewer than asked
    bool FailFlush = false;
    // What MeasureRemains finds, and what the move onto the fill does.
    Remains Kept = {0, KEPT_BY_FILE_SYSTEM, 0, ERROR_NOT_SUPPORTED, 0, KEPT_IN_FREE_SPACE, FALSE};
    MoveResult Move = {0, ERROR_NOT_SUPPORTED, 0, KEPT_SIZE_UNKNOWN};
    bool FailTrim = false;
    DWORD Access = ERROR_SUCCESS;  // what CheckCreateAccess says
    const char* FileSystem = "ext4";
    ULONGLONG AskedToFree = 0;  // what the move was asked to free
    std::vector<DWORD> Writes{};  // the length of every write
    std::vector<std::vector<unsigned char>> Data{};  // and its bytes
    std::vector<std::string> Calls{};
    std::uint64_t FreedByFlush = 0;  // bytes the flush gives back, which later writes then take
};
Volume Fake;
const HANDLE FakeFile = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(42));

}  // namespace

BOOL SetConsoleTitleA(LPCSTR) { return TRUE; }
ULONGLONG GetTickCount64() { return 0; }
DWORD CheckCreateAccess() { return Fake.Access; }
BOOL GetVolumeInformationA(LPCSTR, LPSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPSTR Type, DWORD Size)
{
    std::snprintf(Type, Size, "%s", Fake.FileSystem);
    return TRUE;
}
HANDLE GetStdHandle(DWORD) { return INVALID_HANDLE_VALUE; }
BOOL SetCurrentDirectoryA(LPCSTR) { return TRUE; }
LPSTR CharUpperA(LPSTR String)
{
    String[0] = static_cast<char>(String[0] & ~0x20);
    return String;
}
BOOL WriteConsoleA(HANDLE, LPCVOID, DWORD, LPDWORD, LPVOID) { return FALSE; }
BOOL GetConsoleMode(HANDLE, LPDWORD) { return FALSE; }
UINT GetConsoleOutputCP() { return 850; }
UINT GetACP() { return 1252; }
int MultiByteToWideChar(UINT, DWORD, LPCSTR, int, LPWSTR, int) { return 0; }
int WideCharToMultiByte(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, LPBOOL) { return 0; }
DWORD GetLastError() { return 5; }
DWORD FormatMessageA(DWORD, LPCVOID, DWORD Code, DWORD, LPSTR Buffer, DWORD Size, va_list*)
{
    return Code == 5 ? static_cast<DWORD>(std::snprintf(Buffer, Size, "Access is denied. \r\n")) : 0;
}

BOOL GetDiskFreeSpaceExA(LPCSTR Root, PULARGE_INTEGER Available, PULARGE_INTEGER, PULARGE_INTEGER TotalFree)
{
    const std::uint64_t* Free = Fake.Free[Fake.Queries++ == 0 ? 0 : 1];
    const bool Flushed = std::find(Fake.Calls.begin(), Fake.Calls.end(), "flush") != Fake.Calls.end();
    Available->QuadPart = Free[0] + (Flushed ? Fake.FreedByFlush : 0);
    TotalFree->QuadPart = Free[1] + (Flushed ? Fake.FreedByFlush : 0);
    Fake.Calls.push_back(std::string(Root) == "Q:\\" || std::string(Root) == "q:\\" ? "query" : "query elsewhere");
    return TRUE;
}

HANDLE CreateFileA(LPCSTR FileName, DWORD DesiredAccess, DWORD ShareMode, LPSECURITY_ATTRIBUTES Security,
                   DWORD CreationDisposition, DWORD FlagsAndAttributes, HANDLE Template)
{
    const bool AsExpected = std::string(FileName) == "QUORLANE.TMP" && DesiredAccess == GENERIC_WRITE &&
                            ShareMode == 0 && Security == nullptr && CreationDisposition == CREATE_NEW &&
                            FlagsAndAttributes == (FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_NORMAL) &&
                            Template == nullptr;
    Fake.Calls.push_back(AsExpected ? "create" : "create with unexpected arguments");
    return Fake.RefuseCreation ? INVALID_HANDLE_VALUE : FakeFile;
}

BOOL WriteFile(HANDLE File, LPCVOID Buffer, DWORD Length, LPDWORD Written, LPOVERLAPPED)
{
    EXPECT_EQ(File, FakeFile);
    const bool Accepted = static_cast<int>(Fake.Writes.size()) < Fake.ChunksAccepted ||
                          (Fake.FreedByFlush != 0 && std::find(Fake.Calls.begin(), Fake.Calls.end(), "flush") !=
                                                         Fake.Calls.end());
    Fake.Writes.push_back(Length);
    Fake.Data.emplace_back(static_cast<const unsigned char*>(Buffer), static_cast<const unsigned char*>(Buffer) + Length);
    *Written = Accepted ? Length - Fake.ShortBy : 0;
    return Accepted ? TRUE : FALSE;
}

BOOL FlushFileBuffers(HANDLE File)
{
    Fake.Calls.push_back(File == FakeFile ? "flush" : "flush of another handle");
    return Fake.FailFlush ? FALSE : TRUE;
}

BOOL CloseHandle(HANDLE File)
{
    Fake.Calls.push_back(File == FakeFile ? "close" : "close of another handle");
    return TRUE;
}

Remains MeasureRemains()
{
    Fake.Calls.push_back("measure");
    return Fake.Kept;
}

MoveResult RefillFreedRanges(HANDLE File, ULONGLONG BytesToFree, LPCVOID, DWORD)
{
    Fake.Calls.push_back(File == FakeFile ? "move" : "move of another handle");
    Fake.AskedToFree = BytesToFree;
    return Fake.Move;
}

MoveResult FillMetadataFreeSpace(HANDLE File, LPCVOID, DWORD)
{
    Fake.Calls.push_back(File == FakeFile ? "fill metadata" : "fill metadata of another handle");
    return Fake.Move;
}

TrimResult TrimFreeSpace()
{
    Fake.Calls.push_back("trim");
    return Fake.FailTrim ? TrimResult{ERROR_GEN_FAILURE, 5} : TrimResult{ERROR_SUCCESS, 0};
}

namespace {

// Runs one fill with Answer on standard input (null: the answer given
// beforehand); returns what it printed, and sets Verdict to what it came to.
std::string RunFill(const char* Answer, FillVerdict& Verdict)
{
    std::FILE* Input = std::tmpfile();
    std::fputs(Answer != nullptr ? Answer : "", Input);
    std::rewind(Input);
    std::FILE* Saved = stdin;
    stdin = Input;
    RootPath[0] = 'q';
    BytesWrittenTotal = 0;
    static FillPlace Drive = {};
    Drive.Console = INVALID_HANDLE_VALUE;
    Drive.Confirmed = Answer == nullptr;
    testing::internal::CaptureStdout();
    Verdict = FillAvailableSpace(Drive);
    std::fflush(stdout);
    const std::string Printed = testing::internal::GetCapturedStdout();
    stdin = Saved;
    std::fclose(Input);
    return Printed;
}

// Whether the writes handed out the stream of the generator seeded with a
// clock reading from From to To: each pass its own chunk of it, the tail (and
// the one after the flush) the bytes of the last pass again.
bool WroteTheStream(std::time_t From, std::time_t To)
{
    const std::size_t Passes = Fake.Data.size() - (Fake.FreedByFlush != 0 ? 2 : 1);
    std::vector<unsigned char> Stream(Passes * 65536);
    for (std::time_t Clock = From; Clock <= To; ++Clock) {
        SeedGenerator(static_cast<std::uint32_t>(Clock));
        GenerateFillBytes(Stream.data(), Stream.size());
        bool Same = true;
        for (std::size_t Write = 0; Write < Fake.Data.size(); ++Write)
            Same = Same && std::equal(Fake.Data[Write].begin(), Fake.Data[Write].end(),
                                      Stream.begin() + std::min(Write, Passes - 1) * 65536);
        if (Same)
            return true;
    }
    return false;
}

// What the file system keeps, as MeasureRemains would find it: Bytes, and
// why a trim cannot run, then what the rows that need it say.
Remains KeptSpace(ULONGLONG Bytes, DWORD TrimRefusal, DWORD SmallestDiscard = 0, DWORD Keeper = KEPT_BY_FILE_SYSTEM,
                  DWORD KeptIn = KEPT_IN_FREE_SPACE, DWORD InodeData = FALSE)
{
    return {Bytes, Keeper, SmallestDiscard, TrimRefusal, 0, KeptIn, InodeData};
}

// What a move onto the fill does.
MoveResult Moved(ULONGLONG Bytes, DWORD Status, DWORD Error = 0, ULONGLONG KeptLeft = KEPT_SIZE_UNKNOWN)
{
    return {Bytes, Status, Error, KeptLeft};
}

// A drive with one chunk free, which the fill takes whole, and what the file
// system keeps from it, what a move onto the fill does and whether the
// trim fails: the shape of every row about what the fill leaves.
Volume OneChunk(Remains Kept, MoveResult Move = {0, ERROR_NOT_SUPPORTED, 0, KEPT_SIZE_UNKNOWN}, bool FailTrim = false,
                DWORD Access = ERROR_SUCCESS, const char* FileSystem = "ext4")
{
    Volume Drive = {{{65536, 65536}, {0, 0}}, 0, false, 1, 0, false, Kept, Move, FailTrim, Access, FileSystem};
    return Drive;
}

TEST(Fill, FollowsTheScriptOfEachRun)
{
    struct Case {
        const char* What;
        Volume Given;
        const char* Answer;
        std::vector<std::string> Calls;
        std::vector<DWORD> Writes;
        const char* DriveLine;  // nullptr: none printed
        std::uint64_t Counted;  // BytesWrittenTotal at the end
        std::string Ending;     // the last lines printed
    };
    const char* const Flushed = "Flushing file buffers...\n";
    const char* const FlushFailedText =
        "...\nCould not write all the data to the drive; its free space may not have been overwritten. Check the "
        "drive (the system's log says why), then run it again.\n";
    const std::string Zerofree = " zerofree, run on the drive while it is not mounted, overwrites that space.\n";
    const char* const Kept = " bytes of free space that the file system keeps from every file were not ";
    const std::vector<std::string> Fill = {"query", "create", "query", "flush", "query", "measure", "close"};
    const std::vector<std::string> Moving = {"query", "create", "query", "flush", "query", "measure", "move", "close"};
    const std::vector<std::string> FlushFailed = {"query", "create", "query", "flush", "close"};
    const std::vector<std::string> FilledMetadata = {"query", "create", "query", "flush", "query", "measure",
                                                     "fill metadata", "close"};
    std::vector<std::string> Trimmed = Fill, MovingTrimmed = Moving, FilledMetadataTrimmed = FilledMetadata;
    FilledMetadataTrimmed.push_back("trim");
    Trimmed.push_back("trim");
    MovingTrimmed.push_back("trim");
    std::vector<DWORD> PastOnePeriod(300, 65536);  // chunks 256 on repeat chunks 0 on
    PastOnePeriod.push_back(4096);
    constexpr std::uint64_t TiB4 = 4398047559680;  // past what 32 bits of 1 KiB clusters can count
    const Case Cases[] = {
        {"declined: nothing created", {{{409600, 409600}, {409600, 409600}}}, "n\n",
         {"query"}, {}, nullptr, 0, "Continue? \n"},
        {"creation refused: nothing written, and the system's reason given",
         {{{409600, 409600}, {409600, 409600}}, 0, true}, "y\n", {"query", "create"}, {}, nullptr, 0,
         "destination drive.\nAccess is denied.\n"},
        {"no file can be made here: refused before asking, reason first",
         {{{409600, 409600}, {409600, 409600}}, 0, false, 0, 0, false,
          KeptSpace(0, ERROR_NOT_SUPPORTED), Moved(0, ERROR_NOT_SUPPORTED), false, ERROR_ACCESS_DENIED},
         "y\n", {"query"}, {}, nullptr, 0,
         "Access is denied: only its owner or root may write to the drive's root; run it as root, with sudo.\n"},
        {"the answer given beforehand: nothing read", {{{200704, 200704}, {4096, 4096}}, 0, false, 3}, nullptr,
         Fill, {65536, 65536, 65536, 65536, 4096}, "Drive Q (200704 bytes free)", 3 * 65536, Flushed},
        {"three chunks, then a tail of one cluster", {{{200704, 200704}, {4096, 4096}}, 0, false, 3}, "y\n",
         Fill, {65536, 65536, 65536, 65536, 4096}, "Drive Q (200704 bytes free)", 3 * 65536, Flushed},
        {"free space past 32 bits of clusters, shown exact", {{{2251799813160961, 2251799813160961}, {0, 0}}},
         "Y\n", Fill, {65536, 0}, "Drive Q (2251799813160961 bytes free)", 0, Flushed},
        {"a loop ended early, terabytes still free, and the flush failed: both reported",
         {{{TiB4, TiB4}, {TiB4, TiB4}}, 0, false, 2, 0, true}, "y\n",
         FlushFailed, {65536, 65536, 65536, 65536}, "Drive Q (4398047559680 bytes free)", 2 * 65536,
         "overwritten. Check the drive (the system's log says why), then run it again.\nThe drive's free space was not "
         "all overwritten: 4398047559680 bytes were left (4.0 TiB), as the fill's file could grow no further (a limit "
         "on a file's size, or a write the drive refused); lift the limit, then run it again.\n"},
        {"a quota spent, the volume still free: reported, and the fill moved onto what deleted files left",
         {{{196608, 104857600}, {0, 104660992}}, 0, false, 3}, "y\n", Moving, {65536, 65536, 65536, 65536, 0},
         "Drive Q (196608 bytes free)", 3 * 65536,
         "Flushing file buffers...\nThe drive's free space was not all overwritten: 104660992 bytes were left "
         "(99.8 MiB), kept from this user for root or by a quota; run it as root, with sudo, or lift the quota, to "
         "overwrite them.\nMoving the free space kept from files onto the fill...\n"},
        {"a size limit on a hard disk: nothing moved by a file that cannot grow, and what stays said",
         {{{196608, 196608}, {4194304, 4194304}}, 0, false, 3, 0, false, KeptSpace(4096, ERROR_NOT_SUPPORTED)}, "y\n",
         Fill, {65536, 65536, 65536, 65536, 65536}, "Drive Q (196608 bytes free)", 3 * 65536,
         "4194304 bytes were left (4.0 MiB), as the fill's file could grow no further (a limit on a file's size, or a "
         "write the drive refused); lift the limit, then run it again.\n4096" + std::string(Kept) +
             "trimmed, as the drive does not discard; they keep what they held." + Zerofree},
        {"1 MiB left is a full fill", {{{65536, 65536}, {1048576, 1048576}}, 0, false, 1}, "y\n",
         Fill, {65536, 65536, 65536}, "Drive Q (65536 bytes free)", 65536, Flushed},
        {"short writes are counted as reported", {{{409600, 409600}, {0, 0}}, 0, false, 2, 1000}, "y\n",
         Fill, {65536, 65536, 65536, 0}, "Drive Q (409600 bytes free)", 2 * 64536, Flushed},
        {"a failed flush is reported, the file still closed, and the drive not trimmed",
         {{{65536, 65536}, {0, 0}}, 0, false, 1, 0, true, KeptSpace(1 << 20, ERROR_SUCCESS)}, "y\n",
         FlushFailed,
         {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536, FlushFailedText},
        {"a drive that discards: the trim announced, and the space kept from files trimmed",
         OneChunk(KeptSpace(1 << 20, ERROR_SUCCESS)), "y\n",
         Trimmed,
         {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536, "Flushing file buffers...\nTrimming free space...\n"},
        {"space kept from files that only root may trim: reported",
         OneChunk(KeptSpace(10 << 20, ERROR_ACCESS_DENIED)),
         "y\n", Moving,
         {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         std::string("Moving the free space kept from files onto the fill...\n10485760") + Kept +
             "trimmed, as only root may trim, and the drive discards: run it as root, with sudo, to trim them.\n"},
        {"space kept from files on a drive that does not discard: reported",
         OneChunk(KeptSpace(4096, ERROR_NOT_SUPPORTED)), "y\n",
         Moving,
         {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         std::string("4096") + Kept + "trimmed, as the drive does not discard; they keep what they held." + Zerofree},
        {"a drive that discards only large pieces: trimmed, and what is kept reported",
         OneChunk(KeptSpace(4096, ERROR_SUCCESS, 65536)), "y\n",
         MovingTrimmed,
         {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         std::string("Trimming free space...\n4096") + Kept +
             "all trimmed, as the drive discards only pieces of 65536 bytes or more; smaller ones keep what they "
             "held." +
             Zerofree},
        {"space kept on a hard disk, moved onto the fill first: what stays unwritten, as measured, said",
         OneChunk(KeptSpace(1 << 20, ERROR_NOT_SUPPORTED), Moved(1 << 20, ERROR_SUCCESS, 0, 4096)),
         "y\n", Moving, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "Moving the free space kept from files onto the fill...\n4096" + std::string(Kept) +
             "trimmed, as the drive does not discard; they keep what they held. Before the delete, the fill wrote "
             "1048576 bytes (1.0 MiB) over free blocks where deleted files may have lain; the bytes above are the free "
             "blocks it did not write, as the file system's map of its free space shows." + Zerofree},
        {"space kept on a hard disk, all of it measured written by the move: nothing to report",
         OneChunk(KeptSpace(1 << 20, ERROR_NOT_SUPPORTED), Moved(1 << 20, ERROR_SUCCESS, 0, 0)),
         "y\n", Moving, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "Moving the free space kept from files onto the fill...\n"},
        {"root's reserve moved onto an ordinary user's fill, where nothing is kept from every file, all of it measured "
         "written: the run is whole",
         {{{196608, 104857600}, {0, 104660992}}, 0, false, 3, 0, false, KeptSpace(0, ERROR_ACCESS_DENIED),
          Moved(104660992, ERROR_SUCCESS, 0, 0)},
         "y\n", Moving, {65536, 65536, 65536, 65536, 0}, "Drive Q (196608 bytes free)", 3 * 65536,
         "Moving the free space kept from files onto the fill...\nWhat was kept from this user was moved onto the "
         "fill as well: the file system's map of its free space shows that the fill wrote every free block.\n"},
        {"a move that fails partway: reported with the system's reason, and not as done",
         OneChunk(KeptSpace(4096, ERROR_NOT_SUPPORTED), Moved(4096, ERROR_GEN_FAILURE, 5)),
         "y\n", Moving, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "Moving the free space kept from files onto the fill...\nThe free space kept from files could not all be "
         "moved onto the fill:\nAccess is denied.\n4096" + std::string(Kept) +
             "trimmed, as the drive does not discard; they keep what they held." + Zerofree},
        {"a trim that fails: reported with the system's reason",
         OneChunk(KeptSpace(0, ERROR_SUCCESS), Moved(0, ERROR_NOT_SUPPORTED), true),
         "y\n", Trimmed, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "Trimming free space...\nThe free space could not all be trimmed; what deleted files left in the space the "
         "file system keeps from every file may remain:\nAccess is denied.\nOnce the drive is sound, fstrim, run as "
         "root "
         "on its mount point, trims it.\n"},
        {"space kept that could not be measured, as an ordinary user: reported",
         OneChunk(KeptSpace(KEPT_SIZE_UNKNOWN, ERROR_ACCESS_DENIED)),
         "y\n", Fill,
         {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "could not be measured; it was not trimmed, as only root may trim, and the drive discards: run it as "
         "root, with sudo, to trim it.\n"},
        {"space kept that could not be measured, trimmed as a drive of unknown discards: reported",
         OneChunk(KeptSpace(KEPT_SIZE_UNKNOWN, ERROR_SUCCESS, DISCARD_SIZE_UNKNOWN)),
         "y\n", Trimmed, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "could not be measured; it was trimmed, but the least the drive discards at once could not be read; smaller "
         "pieces may keep what they held." + Zerofree},
        {"a ZFS pool: what it keeps reported",
         OneChunk(KeptSpace(KEPT_SIZE_UNKNOWN, ERROR_NOT_SUPPORTED, 0, KEPT_BY_POOL)),
         "y\n", Fill, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "was not overwritten. On OpenZFS, zpool initialize writes over it on any drive, and zpool trim clears it "
         "where "
         "the pool's drives discard.\n"},
        {"an overlay whose layers cannot be reached: reported",
         OneChunk(KeptSpace(KEPT_SIZE_UNKNOWN, ERROR_NOT_SUPPORTED, 0, KEPT_BELOW)),
         "y\n", Fill, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "could not be measured or trimmed from here; run Quorlane on that file system itself.\n"},
        {"btrfs, an ordinary user: its metadata filled, and what it keeps back reported",
         OneChunk(KeptSpace(31 << 20, ERROR_ACCESS_DENIED, 0, KEPT_BY_FILE_SYSTEM, KEPT_IN_METADATA),
                  Moved(17007 * 3900, ERROR_SUCCESS, 0, 3670016)),
         "y\n", FilledMetadata, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "Filling the free space the file system keeps for its metadata...\n3670016" + std::string(Kept) +
             "trimmed, as only root may trim, and the drive discards: run it as root, with sudo, to trim them. Before "
             "the delete, the fill wrote 66327300 bytes (63.3 MiB) of attributes into the file system's metadata, which "
             "holds small files and names; the bytes above are what stayed free there.\n"},
        {"btrfs, its metadata filled to nothing left: nothing to report",
         OneChunk(KeptSpace(31 << 20, ERROR_NOT_SUPPORTED, 0, KEPT_BY_FILE_SYSTEM, KEPT_IN_METADATA),
                  Moved(31 << 20, ERROR_SUCCESS, 0, 0)),
         "y\n", FilledMetadata, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "Filling the free space the file system keeps for its metadata...\n"},
        {"btrfs, as root on a drive that discards: its metadata filled, then trimmed",
         OneChunk(KeptSpace(31 << 20, ERROR_SUCCESS, 0, KEPT_BY_FILE_SYSTEM, KEPT_IN_METADATA),
                  Moved(17007 * 3900, ERROR_SUCCESS, 0, 3670016)),
         "y\n", FilledMetadataTrimmed, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "Filling the free space the file system keeps for its metadata...\nTrimming free space...\n"},
        {"ext4 keeping small files in their inodes: trimmed, and that reported",
         OneChunk(KeptSpace(1 << 20, ERROR_SUCCESS, 0, KEPT_BY_FILE_SYSTEM, KEPT_IN_FREE_SPACE, TRUE)),
         "y\n", Trimmed, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "Trimming free space...\nThis file system keeps small files inside their inodes (ext4's inline_data): what "
         "deleted ones left there no fill reaches and no trim clears, until new files take those inodes. Only a "
         "wipe of the whole drive overwrites them.\n"},
        {"btrfs refusing the attributes: said, and its metadata's free space reported",
         OneChunk(KeptSpace(31 << 20, ERROR_NOT_SUPPORTED, 0, KEPT_BY_FILE_SYSTEM, KEPT_IN_METADATA),
                  Moved(0, ERROR_NOT_SUPPORTED, 5, 31 << 20), false, ERROR_SUCCESS, "btrfs"),
         "y\n", FilledMetadata, {65536, 65536, 0}, "Drive Q (65536 bytes free)", 65536,
         "metadata was not filled:\nAccess is denied.\n32505856" + std::string(Kept) +
             "trimmed, as the drive does not discard; they keep what they held. Only a wipe of the whole drive "
             "overwrites that space.\n"},
        {"space the flush gives back: taken by the file, and flushed again",
         {{{65536, 65536}, {0, 0}}, 0, false, 1, 0, false, KeptSpace(0, ERROR_SUCCESS), Moved(0, ERROR_NOT_SUPPORTED),
          false, ERROR_SUCCESS, "ext4", 0, {}, {}, {}, 4096},
         "y\n", {"query", "create", "query", "flush", "query", "flush", "measure", "close", "trim"},
         {65536, 65536, 0, 4096}, "Drive Q (65536 bytes free)", 65536,
         "Flushing file buffers...\nTrimming free space...\n"},
        {"past the period of the fill data", {{{19664896, 19664896}, {4096, 4096}}, 0, false, 299}, "y\n",
         Fill, PastOnePeriod, "Drive Q (19664896 bytes free)", 299 * 65536, Flushed},
    };
    for (const Case& C : Cases) {
        Fake = C.Given;
        const std::time_t Started = std::time(nullptr);
        FillVerdict Verdict;
        std::string Printed = RunFill(C.Answer, Verdict);
        EXPECT_TRUE(Fake.Data.empty() || WroteTheStream(Started, std::time(nullptr))) << C.What;
        EXPECT_EQ(Fake.Calls, C.Calls) << C.What;
        EXPECT_EQ(Fake.Writes, C.Writes) << C.What;
        EXPECT_EQ(BytesWrittenTotal, C.Counted) << C.What;
        // A run that filled ends with what it wrote, as counted, and its
        // verdict; the lines before say the rest.
        const bool Incomplete =
            C.Ending.find(" not ") != std::string::npos || C.Ending.find("Only a wipe") != std::string::npos;
        if (C.DriveLine != nullptr) {
            const std::size_t Last = Printed.rfind('\n', Printed.size() - 2) + 1;
            const std::string Done =
                "Done in 0.0 s: wrote " + std::to_string(C.Counted + C.Given.FreedByFlush) + " bytes";
            EXPECT_EQ(Printed.substr(Last, Done.size()), Done) << C.What;
            EXPECT_NE(Printed.find(Incomplete ? "may remain" : "nothing that deleted", Last), std::string::npos)
                << C.What;
            Printed.erase(Last);
        }
        const std::string& Ending = C.Ending;
        EXPECT_EQ(Printed.substr(Printed.size() - std::min(Printed.size(), Ending.size())), Ending) << C.What;
        const FillVerdict Expected = C.DriveLine != nullptr ? Incomplete ? FillVerdict::Incomplete : FillVerdict::Wiped
                                     : Fake.Calls.size() > 1 || Fake.Access != ERROR_SUCCESS ? FillVerdict::Refused
                                                                                             : FillVerdict::Declined;
        EXPECT_EQ(Verdict, Expected) << C.What;
        if (C.DriveLine != nullptr)
            EXPECT_NE(Printed.find(std::string("\n") + C.DriveLine + "\n"), std::string::npos) << C.What;
        else
            EXPECT_EQ(Printed.find("Drive "), std::string::npos) << C.What;
    }
}

// What the move is asked to free: twice and a quarter what stays free, the
// kept space and what this user could not reach, at most 768 MiB.
TEST(Fill, TheMoveIsAskedToFreeWhatStaysFreeAndMore)
{
    struct Case {
        const char* What;
        std::uint64_t Kept, Left, Asked;
    };
    const Case Cases[] = {
        {"the kept space alone", 4096, 0, 9216},
        {"and what this user could not reach", 1 << 20, 4 << 20, (5ull << 20) / 4 * 9},
        {"less than 1 MiB left is a full fill", 1 << 20, 65536, (1ull << 20) / 4 * 9},
        {"at most 768 MiB", 1ull << 30, 0, 768ull << 20},
    };
    for (const Case& C : Cases) {
        Fake = {{{65536, 65536}, {0, C.Left}}, 0, false, 1, 0, false,
                KeptSpace(C.Kept, ERROR_NOT_SUPPORTED), Moved(4096, ERROR_SUCCESS)};
        FillVerdict Verdict;
        RunFill("y\n", Verdict);
        EXPECT_EQ(Fake.AskedToFree, C.Asked) << C.What;
    }
}

}  // namespace
