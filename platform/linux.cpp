// The console and volume services on Linux, under their Win32 names.
//
// Quorlane's own code calls the Win32 API; this file gives each call the
// effect the program relies on, obtained with Linux's own means (statx,
// O_TMPFILE, sync_file_range, /proc and /sys) where POSIX has none:
//
//   - Drives. The root of drive X: (either case) is the directory /mnt/x, as
//     under WSL. Only the letters A to Z name drives; any other path is refused.
//     As a Windows drive letter always names a volume, /mnt/x must be the root
//     of a mounted file system, or a link to one, as the kernel reports it: a
//     plain directory is no drive, since filling it would fill whatever file
//     system holds /mnt.
//   - Free space, in exact 64-bit byte counts, of the directory entered (".")
//     or of another drive's. Available to the caller: the blocks free to
//     unprivileged users; root may also have the blocks ext2/3/4 reserve for
//     it. Total free, what a file of any user could be given: on ext2/3/4 all
//     free blocks less ext4's reserved cluster pool, which only the file
//     system itself may use (its clusters from sysfs, the blocks to a cluster
//     from the superblock, or, for an ordinary user, who cannot read it, from
//     the root directory's allocation); elsewhere the unprivileged figure,
//     since other file systems count in all free blocks space that no file
//     can have (btrfs, xfs and ZFS: their metadata).
//   - Exclusive, delete-on-close creation. Any existing entry of that name
//     (file, directory or symbolic link) is refused without being touched.
//     The file is made without a name (O_TMPFILE) in the directory; where the
//     file system cannot do that, it is created with O_CREAT | O_EXCL and
//     unlinked at once. No other process can open it by name, and the file
//     system reclaims its space when the descriptor closes, however the
//     process ends.
//   - Writes. A write succeeds only when the whole length reached the file. A
//     write the volume cannot take whole fails, as on Windows at disk full,
//     and reports the bytes that did reach the file; they stay in it, where
//     Windows would have written none, and the last piece of the fill then
//     finds that much less free space.
//   - Write-behind. Left alone, the page cache takes a fill far faster than
//     the disk, up to the kernel's dirty limit (gigabytes), so the bar would
//     run ahead of the disk and the flush then sit silent for minutes, with
//     every other writer on the machine stalled. After each write, every
//     finished window of the file is sent to the disk, the window before it
//     is waited for and then dropped from the cache, so at most two windows
//     are ever unwritten. A failure seen there is a write the volume cannot
//     take, and the flush reports it too, since the kernel tells it only once.
//   - Raw console output goes straight to the descriptor, and only when it is
//     a terminal; otherwise the call fails, as WriteConsoleA does on a pipe.
//   - The console title is the xterm "set window title" sequence, sent only
//     to a terminal.
//   - Errors. GetLastError is errno, and FormatMessageA gives its strerror
//     text. There are no critical-error dialogs to turn off.
//   - Code pages. There is one, UTF-8, for the ANSI text and the terminal
//     alike, so conversions between code pages are refused; a terminal is a
//     console.
//
// Handles are file descriptors stored in the pointer-sized HANDLE.

#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mntent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// Headers older than Linux 5.8 lack the flag; kernels older than that leave
// it out of the attribute mask, and IsMountRoot then asks the mount table.
#ifndef STATX_ATTR_MOUNT_ROOT
#define STATX_ATTR_MOUNT_ROOT 0x00002000
#endif

static int Descriptor(HANDLE Handle)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(Handle));
}

static HANDLE HandleOf(int Fd)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(Fd));
}

// Writes all of Buffer, retrying after signals. Returns the bytes written;
// fewer than Length means the descriptor refused the rest.
static std::size_t WriteAll(int Fd, const void* Buffer, std::size_t Length)
{
    const char* Bytes = static_cast<const char*>(Buffer);
    std::size_t Done = 0;
    while (Done < Length) {
        ssize_t Now = write(Fd, Bytes + Done, Length - Done);
        if (Now < 0 && errno == EINTR)
            continue;
        if (Now <= 0)
            break;
        Done += static_cast<std::size_t>(Now);
    }
    return Done;
}

// Maps a drive root such as "Q:\" to its directory "/mnt/q". Anything else,
// including a drive letter followed by a path, is not a drive root.
static bool DriveDirectory(LPCSTR Path, char (&Directory)[7])
{
    if (Path == nullptr)
        return false;
    char Letter = Path[0];
    if (Letter >= 'A' && Letter <= 'Z')
        Letter = static_cast<char>(Letter - 'A' + 'a');
    if (Letter < 'a' || Letter > 'z' || Path[1] != ':')
        return false;
    if (!(Path[2] == '\0' || ((Path[2] == '\\' || Path[2] == '/') && Path[3] == '\0')))
        return false;
    std::memcpy(Directory, "/mnt/", 5);
    Directory[5] = Letter;
    Directory[6] = '\0';
    return true;
}

BOOL SetConsoleTitleA(LPCSTR Title)
{
    if (!isatty(STDOUT_FILENO))
        return FALSE;
    const std::size_t Length = std::strlen(Title);
    bool Whole = WriteAll(STDOUT_FILENO, "\033]0;", 4) == 4 &&
                 WriteAll(STDOUT_FILENO, Title, Length) == Length &&
                 WriteAll(STDOUT_FILENO, "\a", 1) == 1;
    return Whole ? TRUE : FALSE;
}

HANDLE GetStdHandle(DWORD StdHandle)
{
    // On Windows, writing to a pipe whose reader has gone fails and the
    // program carries on; here it would end the process in the middle of a
    // fill. Standard output is set up to behave the Windows way.
    if (StdHandle == STD_OUTPUT_HANDLE)
        std::signal(SIGPIPE, SIG_IGN);
    return StdHandle == STD_OUTPUT_HANDLE ? HandleOf(STDOUT_FILENO) : INVALID_HANDLE_VALUE;
}

BOOL WriteConsoleA(HANDLE Console, LPCVOID Buffer, DWORD CharsToWrite, LPDWORD CharsWritten,
                   LPVOID)
{
    if (CharsWritten != nullptr)
        *CharsWritten = 0;
    const int Fd = Descriptor(Console);
    if (Console == INVALID_HANDLE_VALUE || !isatty(Fd))
        return FALSE;
    const std::size_t Done = WriteAll(Fd, Buffer, CharsToWrite);
    if (CharsWritten != nullptr)
        *CharsWritten = static_cast<DWORD>(Done);
    return Done == CharsToWrite ? TRUE : FALSE;
}

// Whether Path is a mount point in the mount table (whose escapes, such as
// \040 for a blank, getmntent decodes).
static bool ListedAsMountPoint(const char* Path)
{
    std::FILE* Table = setmntent("/proc/self/mounts", "re");
    if (Table == nullptr)
        return false;
    struct mntent Entry;
    char Strings[4 * PATH_MAX];
    bool Found = false;
    while (!Found && getmntent_r(Table, &Entry, Strings, sizeof Strings) != nullptr)
        Found = std::strcmp(Entry.mnt_dir, Path) == 0;
    endmntent(Table);
    return Found;
}

// Whether the directory open as Fd (whose name is Directory) is the root of a
// mounted file system. Kernels since 5.8 say so through statx; older ones
// are asked through the mount table.
static bool IsMountRoot(int Fd, const char* Directory)
{
    struct statx Status;
    if (statx(Fd, "", AT_EMPTY_PATH, 0, &Status) == 0 && (Status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
        return (Status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    char Resolved[PATH_MAX];
    return realpath(Directory, Resolved) != nullptr && ListedAsMountPoint(Resolved);
}

// The letter, in lower case, of the drive whose root is the current directory.
static char CurrentDrive = '\0';

BOOL SetCurrentDirectoryA(LPCSTR PathName)
{
    char Directory[7];
    if (!DriveDirectory(PathName, Directory)) {
        errno = ENOENT;
        return FALSE;
    }
    // Checked and entered through one descriptor, so that what becomes
    // current is the very directory found to be a volume.
    const int Fd = open(Directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0)
        return FALSE;
    bool Entered = false;
    if (!IsMountRoot(Fd, Directory))
        errno = ENOMEDIUM;
    else
        Entered = fchdir(Fd) == 0;
    if (Entered)
        CurrentDrive = Directory[5];
    const int Saved = errno;
    close(Fd);
    errno = Saved;
    return Entered ? TRUE : FALSE;
}

// The blocks to a cluster of the ext4 device Name, as its superblock, 1024
// bytes into the device, gives them (little-endian): the magic number, the
// log2 of the block and cluster sizes in KiB, and the read-only-compatible
// features, of which 0x200 is bigalloc. False where it cannot be read, as an
// ordinary user cannot read the device.
static bool SuperblockBlocksPerCluster(const char* Name, std::uint64_t& PerCluster)
{
    char Path[PATH_MAX + 8];
    unsigned char Super[1024];
    std::snprintf(Path, sizeof Path, "/dev/%s", Name);
    const int Fd = open(Path, O_RDONLY | O_CLOEXEC);
    const bool Read = Fd >= 0 && pread(Fd, Super, sizeof Super, 1024) == static_cast<ssize_t>(sizeof Super);
    if (Fd >= 0)
        close(Fd);
    const auto Field = [&Super](int Offset) {
        return static_cast<std::uint32_t>(Super[Offset] | Super[Offset + 1] << 8 | Super[Offset + 2] << 16 |
                                          static_cast<std::uint32_t>(Super[Offset + 3]) << 24);
    };
    if (!Read || (Field(0x38) & 0xFFFF) != 0xEF53)
        return false;
    const std::uint32_t LogBlock = Field(0x18);
    const std::uint32_t LogCluster = (Field(0x64) & 0x200) != 0 ? Field(0x1C) : LogBlock;
    if (LogCluster < LogBlock || LogCluster - LogBlock > 30)
        return false;
    PerCluster = std::uint64_t{1} << (LogCluster - LogBlock);
    return true;
}

// The blocks of ext4's reserved cluster pool on the volume whose root is
// Root: the clusters sysfs counts in it, times the blocks to a cluster, which
// only a file system made with bigalloc has more than one of. Where the
// superblock cannot be read, the root directory's allocation, which is at
// least one cluster, stands for the cluster: the pool may then be taken for
// larger than it is, never for smaller, so that a full fill is never called
// short. False where sysfs has no count.
static bool Ext4PoolBlocks(const struct stat& Root, std::uint64_t BlockSize, std::uint64_t& Blocks)
{
    char Target[PATH_MAX];
    char Path[sizeof Target + 64];
    std::snprintf(Path, sizeof Path, "/sys/dev/block/%u:%u", major(Root.st_dev), minor(Root.st_dev));
    const ssize_t Length = readlink(Path, Target, sizeof Target - 1);
    if (Length <= 0)
        return false;
    Target[Length] = '\0';
    const char* Slash = std::strrchr(Target, '/');
    const char* Name = Slash != nullptr ? Slash + 1 : Target;  // as sysfs and /dev name it

    unsigned long long Clusters = 0;
    std::snprintf(Path, sizeof Path, "/sys/fs/ext4/%s/reserved_clusters", Name);
    std::FILE* Pool = std::fopen(Path, "re");
    const bool Counted = Pool != nullptr && std::fscanf(Pool, "%llu", &Clusters) == 1;
    if (Pool != nullptr)
        std::fclose(Pool);
    if (!Counted || BlockSize == 0)
        return false;

    std::uint64_t PerCluster = 1;
    if (!SuperblockBlocksPerCluster(Name, PerCluster))
        PerCluster = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(Root.st_blocks) * 512 / BlockSize);
    Blocks = Clusters * PerCluster;
    return true;
}

BOOL GetDiskFreeSpaceExA(LPCSTR DirectoryName, PULARGE_INTEGER FreeBytesAvailableToCaller,
                         PULARGE_INTEGER TotalNumberOfBytes, PULARGE_INTEGER TotalNumberOfFreeBytes)
{
    constexpr long Ext4Magic = 0xEF53;  // ext2 and ext3 too
    char Directory[7];
    if (DirectoryName != nullptr && !DriveDirectory(DirectoryName, Directory)) {
        errno = ENOENT;
        return FALSE;
    }
    // The drive entered is asked through ".", the very directory that was
    // found to be a volume, rather than by its name again.
    const bool Current = DirectoryName == nullptr || Directory[5] == CurrentDrive;
    const int Fd = open(Current ? "." : Directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

    const std::uint64_t Unit = Volume.f_frsize != 0 ? Volume.f_frsize : Volume.f_bsize;
    std::uint64_t Available = Volume.f_bavail;
    std::uint64_t TotalFree = Volume.f_bavail;
    std::uint64_t Pool = 0;
    if (Volume.f_type == Ext4Magic && Ext4PoolBlocks(Root, Volume.f_bsize, Pool)) {
        TotalFree = std::max<std::uint64_t>(Volume.f_bfree > Pool ? Volume.f_bfree - Pool : 0, Volume.f_bavail);
        if (geteuid() == 0)
            Available = TotalFree;
    }
    if (FreeBytesAvailableToCaller != nullptr)
        FreeBytesAvailableToCaller->QuadPart = Available * Unit;
    if (TotalNumberOfBytes != nullptr)
        TotalNumberOfBytes->QuadPart = static_cast<std::uint64_t>(Volume.f_blocks) * Unit;
    if (TotalNumberOfFreeBytes != nullptr)
        TotalNumberOfFreeBytes->QuadPart = TotalFree * Unit;
    return TRUE;
}

// The write-behind of the file being filled: the bytes written to it so far,
// the end of the windows sent to the disk, and whether the disk refused any.
// Measured from 2 to 32 MiB: on a 30 MB/s device the time from the last mark
// to the exit grows with the window (0.5 s at 8 MiB, 2.4 s at 32 MiB), while a
// fast disk runs as fast with any of them; 8 MiB keeps a fast SSD busy with
// one window while the next is written.
constexpr off_t WriteBehindWindow = 8 << 20;
static off_t BytesInFile = 0;
static off_t BytesSent = 0;
static bool WriteBehindOn = false;
static bool WritebackFailed = false;

// Supports what Quorlane asks for: a new file opened for writing, shared with
// no one, optionally deleted on close. Other requests are refused.
HANDLE CreateFileA(LPCSTR FileName, DWORD DesiredAccess, DWORD ShareMode,
                   LPSECURITY_ATTRIBUTES SecurityAttributes, DWORD CreationDisposition,
                   DWORD FlagsAndAttributes, HANDLE TemplateFile)
{
    const DWORD Known = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE;
    if (DesiredAccess != GENERIC_WRITE || ShareMode != 0 || SecurityAttributes != nullptr ||
        CreationDisposition != CREATE_NEW || (FlagsAndAttributes & ~Known) != 0 ||
        TemplateFile != nullptr) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }

    // A file that outgrows a size limit must make the write fail, as on
    // Windows, rather than end the process.
    std::signal(SIGXFSZ, SIG_IGN);

    // A file to be deleted on close is made without a name where the file
    // system allows it, so that no moment of the run, refused or killed,
    // leaves an entry behind. An entry of that name, of whatever kind, is
    // still refused untouched, as CREATE_NEW refuses it; one made after this
    // look is harmless, since the file never takes the name.
    const bool DeleteOnClose = (FlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    bool Named = true;
    int Fd = -1;
    if (DeleteOnClose) {
        struct stat Entry;
        if (lstat(FileName, &Entry) == 0)
            errno = EEXIST;
        if (errno != ENOENT)
            return INVALID_HANDLE_VALUE;
        char Directory[PATH_MAX] = ".";  // the file's, where the name has one
        if (const char* Slash = std::strrchr(FileName, '/')) {
            const int Length = Slash == FileName ? 1 : static_cast<int>(Slash - FileName);
            std::snprintf(Directory, sizeof Directory, "%.*s", Length, FileName);
        }
        Fd = open(Directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        // File systems without unnamed files (FUSE, vfat, exFAT) say so with
        // EOPNOTSUPP, kernels before 3.11 with EISDIR: they get a named file.
        Named = Fd < 0;
        if (Named && errno != EOPNOTSUPP && errno != EISDIR)
            return INVALID_HANDLE_VALUE;
    }
    if (Named)
        Fd = open(FileName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (Fd < 0)
        return INVALID_HANDLE_VALUE;  // nothing was created
    // When the process was started with standard output or input closed, the
    // new file would take that descriptor and catch the text meant for the
    // console. Keep it clear of the three standard descriptors.
    if (Fd <= STDERR_FILENO) {
        const int Moved = fcntl(Fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(Fd);
        Fd = Moved;
    }
    if (Fd < 0) {
        if (Named)
            unlink(FileName);
        return INVALID_HANDLE_VALUE;
    }
    // A named file to be deleted on close is unlinked at once; one that
    // cannot be made to vanish on close is not filled.
    if (Named && DeleteOnClose && unlink(FileName) != 0) {
        const int Saved = errno;
        close(Fd);
        errno = Saved;
        return INVALID_HANDLE_VALUE;
    }
    BytesInFile = BytesSent = 0;
    WriteBehindOn = true;
    WritebackFailed = false;
    return HandleOf(Fd);
}

// Starts writing back the window at Offset; waits for the one before it and
// drops that from the cache. False when the disk failed to take the data.
// A file system with nothing to write back (tmpfs) makes both calls no-ops;
// one that cannot do them at all just goes without write-behind.
static bool SendWindow(int Fd, off_t Offset)
{
    const unsigned Wait = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    int Result = sync_file_range(Fd, Offset, WriteBehindWindow, SYNC_FILE_RANGE_WRITE);
    if (Result == 0 && Offset >= WriteBehindWindow) {
        Result = sync_file_range(Fd, Offset - WriteBehindWindow, WriteBehindWindow, Wait);
        if (Result == 0)
            posix_fadvise(Fd, Offset - WriteBehindWindow, WriteBehindWindow, POSIX_FADV_DONTNEED);
    }
    if (Result != 0 && (errno == EINVAL || errno == ESPIPE || errno == ENOSYS || errno == EOPNOTSUPP)) {
        WriteBehindOn = false;
        return true;
    }
    return Result == 0;
}

BOOL WriteFile(HANDLE File, LPCVOID Buffer, DWORD BytesToWrite, LPDWORD BytesWritten,
               LPOVERLAPPED)
{
    const int Fd = Descriptor(File);
    const std::size_t Done = WriteAll(Fd, Buffer, BytesToWrite);
    if (BytesWritten != nullptr)
        *BytesWritten = static_cast<DWORD>(Done);
    BytesInFile += static_cast<off_t>(Done);
    while (WriteBehindOn && !WritebackFailed && BytesInFile - BytesSent >= WriteBehindWindow) {
        WritebackFailed = !SendWindow(Fd, BytesSent);
        BytesSent += WriteBehindWindow;
    }
    return Done == BytesToWrite && !WritebackFailed ? TRUE : FALSE;
}

BOOL FlushFileBuffers(HANDLE File)
{
    return fsync(Descriptor(File)) == 0 && !WritebackFailed ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE Object)
{
    return close(Descriptor(Object)) == 0 ? TRUE : FALSE;
}

UINT SetErrorMode(UINT)
{
    return 0;
}

BOOL GetConsoleMode(HANDLE Console, LPDWORD Mode)
{
    *Mode = 0;
    return Console != INVALID_HANDLE_VALUE && isatty(Descriptor(Console)) ? TRUE : FALSE;
}

UINT GetConsoleOutputCP()
{
    return CP_UTF8;
}

UINT GetACP()
{
    return CP_UTF8;
}

// There is one code page, so no text needs converting, and a conversion is
// refused; the caller then prints the text as it is.
int MultiByteToWideChar(UINT, DWORD, LPCSTR, int, LPWSTR, int)
{
    errno = EINVAL;
    return 0;
}

int WideCharToMultiByte(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, LPBOOL)
{
    errno = EINVAL;
    return 0;
}

DWORD GetLastError()
{
    return static_cast<DWORD>(errno);
}

DWORD FormatMessageA(DWORD, LPCVOID, DWORD MessageId, DWORD, LPSTR Buffer, DWORD Size, va_list*)
{
    const int Length = std::snprintf(Buffer, Size, "%s", std::strerror(static_cast<int>(MessageId)));
    return Length > 0 && static_cast<DWORD>(Length) < Size ? static_cast<DWORD>(Length) : 0;
}

LPSTR CharUpperA(LPSTR String)
{
    for (char* Character = String; *Character != '\0'; ++Character)
        if (*Character >= 'a' && *Character <= 'z')
            *Character = static_cast<char>(*Character - 'a' + 'A');
    return String;
}
