// The fill's file on Linux, under the Win32 names of its services.
//
//   - Exclusive, delete-on-close creation. Any existing entry of that name
//     (file, directory or symbolic link) is refused without being touched.
//     The file is made without a name (O_TMPFILE) in the directory; where the
//     file system cannot do that, it is created with O_CREAT | O_EXCL and
//     unlinked at once, if the name still leads to it: a file renamed onto
//     the name before that look is left alone, and the creation refused.
//     One renamed onto it in the moment between the look and the unlink,
//     microseconds, is unlinked instead, since Linux cannot unlink a name
//     only if it leads to a given file; only someone who may write to the
//     directory can do that, and could delete the file outright. No other
//     process can open the file by name, and the file system reclaims its
//     space when the descriptor closes, however the process ends.
//   - Writes. A write succeeds only when the whole length reached the file. A
//     write the volume cannot take whole fails, as on Windows at disk full,
//     and reports the bytes that did reach the file; they stay in it, where
//     Windows would have written none, and the last piece of the fill then
//     finds that much less free space.
//   - Write-behind. Left alone, the page cache takes a fill far faster than
//     the disk, up to the kernel's dirty limit (gigabytes), so the bar would
//     run ahead of the disk and the flush then sit silent for minutes, with
//     every other writer on the machine stalled. After each write, every
//     finished window of the file is sent to the disk and the window before
//     it is waited for, so at most two windows are ever unwritten. The
//     written windows are left to the cache, which reclaims pages used once
//     ahead of those in use: dropping each at once made this thread free
//     every page of the fill itself, which slowed a large fill on a fast
//     drive (docs/speed.md). A failure seen there is a write the volume
//     cannot take, and the flush reports it too, since the kernel tells it
//     only once.
//   - Delete on close. Closing the file deletes it, and its blocks are free
//     by the time the close returns, for the trim that follows (trim.cpp).

#include "internal.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>

// The write-behind of the file being filled: the bytes written to it so far,
// the end of the windows sent to the disk, and whether the disk refused any.
// A window of 8 MiB keeps the wait after the last mark short on a slow
// device, which grows with the window, and a fast SSD busy with one window
// while the next is written (docs/speed.md).
constexpr off_t WriteBehindWindow = 8 << 20;
static off_t BytesInFile = 0;
static off_t BytesSent = 0;
static bool WriteBehindOn = false;
static bool WritebackFailed = false;

// The file to be deleted on close, and what its first bytes showed of its
// volume: the allocation unit, and whether small files live inside their
// inodes. The open file's own state.
static int DeleteOnCloseFd = -1;
static std::uint64_t ClusterBytes = 0;
static int InlineData = -1;  // -1 where it did not show
static dev_t MeasuredVolume = 0;

// Notes the allocation unit of the volume the new, empty file open as Fd is
// on, as the file's own allocation shows it to any user: two bytes are
// written and taken away again. What a byte written just past the file's
// allocation adds to it is one cluster: ext4 counts a cluster's blocks in
// the allocation as soon as the byte is written, delayed or not. The
// allocation of a first byte alone can count more, an extended-attribute
// block (a default ACL on a drive of 128-byte inodes), or nothing, where the
// byte fits in the inode; written at the end of the first block, it does not
// fit there. The bytes go again at once, and the file is empty as it was
// made; where it cannot be, the fill, which writes from the start, goes over
// them. Before that, one byte at the start: where ext4 keeps small files
// inside their inodes (inline_data), it puts that byte there, and flags the
// file so, also through an overlay whose upper layer is such an ext4; a file
// system that has no such flags says so.
static void MeasureNewFile(int Fd)
{
    constexpr long InlineDataFlag = 0x10000000;  // EXT4_INLINE_DATA_FL
    struct statfs Volume;
    struct stat First, Second;
    long Flags = 0;
    ClusterBytes = 0;
    InlineData = -1;
    if (fstat(Fd, &First) != 0)
        return;
    MeasuredVolume = First.st_dev;
    if (pwrite(Fd, "", 1, 0) == 1)
        InlineData = ioctl(Fd, FS_IOC_GETFLAGS, &Flags) != 0 ? (errno == ENOTTY || errno == EOPNOTSUPP ? 0 : -1)
                                                             : (Flags & InlineDataFlag) != 0 ? 1 : 0;
    if (fstatfs(Fd, &Volume) == 0 && Volume.f_type == Ext4Magic && Volume.f_bsize > 0 &&
        pwrite(Fd, "", 1, Volume.f_bsize - 1) == 1 && fstat(Fd, &First) == 0) {
        const off_t Past = std::max<off_t>(static_cast<off_t>(First.st_blocks) * 512, Volume.f_bsize);
        if (pwrite(Fd, "", 1, Past) == 1 && fstat(Fd, &Second) == 0 && Second.st_blocks > First.st_blocks)
            ClusterBytes = static_cast<std::uint64_t>(Second.st_blocks - First.st_blocks) * 512;
    }
    if (ftruncate(Fd, 0) != 0)
        return;
}

std::uint64_t FillClusterBytes(dev_t Volume)
{
    return ClusterBytes != 0 && MeasuredVolume == Volume ? ClusterBytes : 0;
}

int FillInlineData()
{
    return InlineData;
}

std::uint64_t FillRecordBytes()
{
    // The fill writes its file from the start without holes, so what its
    // allocation counts beyond its size, rounded up to a block, is its map.
    struct stat File;
    struct statfs Volume;
    if (DeleteOnCloseFd < 0 || fstat(DeleteOnCloseFd, &File) != 0 || fstatfs(DeleteOnCloseFd, &Volume) != 0 ||
        Volume.f_bsize <= 0)
        return 0;
    const std::uint64_t Block = static_cast<std::uint64_t>(Volume.f_bsize);
    const std::uint64_t Data = (static_cast<std::uint64_t>(File.st_size) + Block - 1) / Block * Block;
    const std::uint64_t Allocated = static_cast<std::uint64_t>(File.st_blocks) * 512;
    return Allocated > Data ? Allocated - Data : 0;
}

// Removes the entry Name of the file just made and open as Fd, as long as the
// name still leads to that file when it is looked at. Another file renamed
// onto the name before then is someone else's: its entry is left alone, and
// the name counts as taken (EEXIST).
static bool UnlinkOwn(const char* Name, int Fd)
{
    struct stat Entry, Made;
    if (fstat(Fd, &Made) != 0 || lstat(Name, &Entry) != 0)
        return false;
    if (Entry.st_dev != Made.st_dev || Entry.st_ino != Made.st_ino) {
        errno = EEXIST;
        return false;
    }
    return unlink(Name) == 0;
}

// A read-only mount refuses every new file, and a directory a new file only
// where this process may not write to it; faccessat tells both, for the
// process's effective ids, as the creation will be judged.
DWORD CheckCreateAccess()
{
    if (faccessat(AT_FDCWD, ".", W_OK | X_OK, AT_EACCESS) == 0)
        return ERROR_SUCCESS;
    if (errno == EROFS)
        return ERROR_WRITE_PROTECT;
    return errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

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
    bool Kept = true;
    if (Fd <= STDERR_FILENO) {
        const int Moved = fcntl(Fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        Kept = Moved >= 0;
        if (Kept) {
            close(Fd);
            Fd = Moved;
        }
    }
    // A named file to be deleted on close is unlinked at once, and one that
    // cannot be kept is removed again; one that cannot be made to vanish on
    // close is not filled.
    if (Named && (DeleteOnClose || !Kept) && !UnlinkOwn(FileName, Fd))
        Kept = false;
    if (!Kept) {
        const int Saved = errno;
        close(Fd);
        errno = Saved;
        return INVALID_HANDLE_VALUE;
    }
    if (DeleteOnClose) {
        MeasureNewFile(Fd);
        DeleteOnCloseFd = Fd;
    }
    BytesInFile = BytesSent = 0;
    WriteBehindOn = true;
    WritebackFailed = false;
    return HandleOf(Fd);
}

// Starts writing back the window at Offset and waits for the one before it.
// False when the disk failed to take the data.
// A file system with nothing to write back (tmpfs) makes both calls no-ops;
// one that cannot do them at all just goes without write-behind.
static bool SendWindow(int Fd, off_t Offset)
{
    const unsigned Wait = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    int Result = sync_file_range(Fd, Offset, WriteBehindWindow, SYNC_FILE_RANGE_WRITE);
    if (Result == 0 && Offset >= WriteBehindWindow)
        Result = sync_file_range(Fd, Offset - WriteBehindWindow, WriteBehindWindow, Wait);
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
    // xfs frees a deleted file's blocks later, in the background, so that a
    // trim right after the close would find them still taken; emptied first,
    // the file gives them back before the close returns.
    const int Fd = Descriptor(Object);
    if (Fd == DeleteOnCloseFd) {
        DeleteOnCloseFd = -1;
        if (ftruncate(Fd, 0) != 0) {
            // The close deletes the file all the same.
        }
    }
    return close(Fd) == 0 ? TRUE : FALSE;
}
