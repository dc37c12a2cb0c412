// The drives on Linux, under the Win32 names of their services.
//
//   - Drives. The root of drive X: (either case) is the directory /mnt/x, as
//     under WSL. Only the letters A to Z name drives. As a Windows drive
//     letter always names a volume, /mnt/x must be the root of a mounted file
//     system, or a link to one, as the kernel reports it: a plain directory
//     is no drive, since filling it would fill whatever file system holds
//     /mnt.
//   - Places. As every Linux tool does, a drive can be named by a path: an
//     argument with a slash whose second character is not a colon (which
//     would make it a letter's), or "." or "..", names a directory, any
//     directory this process may read, and the drive is the volume that
//     holds it, named by its mount point (mounts.cpp). The fill's file is
//     made in that directory, so that an ordinary user can wipe, from a
//     directory of their own, a volume whose root is not theirs.

#include "internal.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

// Headers older than Linux 5.8 lack the flag; kernels older than that leave
// it out of the attribute mask, and IsMountRoot then asks the mount table.
#ifndef STATX_ATTR_MOUNT_ROOT
#define STATX_ATTR_MOUNT_ROOT 0x00002000
#endif

bool DriveDirectory(LPCSTR Path, char (&Directory)[7])
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

bool ReadSysfsNumber(const char* Path, std::uint64_t& Value)
{
    unsigned long long Read = 0;
    std::FILE* File = std::fopen(Path, "re");
    if (File == nullptr)
        return false;
    const bool Whole = std::fscanf(File, "%llu", &Read) == 1;
    std::fclose(File);
    if (!Whole) {
        errno = EINVAL;
        return false;
    }
    Value = Read;
    return true;
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
    return realpath(Directory, Resolved) != nullptr && IsListedMountPoint(Resolved);
}

BOOL IsPlaceName(LPCSTR Argument)
{
    if (Argument == nullptr)
        return FALSE;
    const bool Path = std::strchr(Argument, '/') != nullptr && Argument[1] != ':';
    return Path || std::strcmp(Argument, ".") == 0 || std::strcmp(Argument, "..") == 0 ? TRUE : FALSE;
}

BOOL SetCurrentDirectoryA(LPCSTR PathName)
{
    char Directory[7];
    const bool Place = IsPlaceName(PathName);
    if (!Place && !DriveDirectory(PathName, Directory)) {
        errno = ENOENT;
        return FALSE;
    }
    // Checked and entered through one descriptor, so that what becomes
    // current is the very directory found to be a volume, or for a place,
    // the directory found readable.
    const int Fd = open(Place ? PathName : Directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0)
        return FALSE;
    bool Entered = false;
    if (!Place && !IsMountRoot(Fd, Directory))
        errno = ENOMEDIUM;
    else
        Entered = fchdir(Fd) == 0;
    const int Saved = errno;
    close(Fd);
    errno = Saved;
    return Entered ? TRUE : FALSE;
}

// What the entry Path leads to: a directory, a device (a block or character
// device node), or any other file; INVALID_FILE_ATTRIBUTES, with errno, where
// it leads nowhere.
DWORD GetFileAttributesA(LPCSTR FileName)
{
    struct stat Entry;
    if (FileName == nullptr || stat(FileName, &Entry) != 0)
        return INVALID_FILE_ATTRIBUTES;
    if (S_ISDIR(Entry.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    return S_ISBLK(Entry.st_mode) || S_ISCHR(Entry.st_mode) ? FILE_ATTRIBUTE_DEVICE : FILE_ATTRIBUTE_NORMAL;
}

DWORD GetCurrentDirectoryA(DWORD BufferLength, LPSTR Buffer)
{
    char Path[PATH_MAX];
    if (getcwd(Path, sizeof Path) == nullptr)
        return 0;
    const std::size_t Length = std::strlen(Path);
    if (Length >= BufferLength)
        return static_cast<DWORD>(Length + 1);
    std::memcpy(Buffer, Path, Length + 1);
    return static_cast<DWORD>(Length);
}

// The name of the block device of the volume Root is on, as sysfs and /dev
// name it: the last part of the link sysfs keeps for its device number.
bool DeviceName(const struct stat& Root, char (&Name)[NAME_MAX + 1])
{
    char Target[PATH_MAX];
    char Path[64];
    std::snprintf(Path, sizeof Path, "/sys/dev/block/%u:%u", major(Root.st_dev), minor(Root.st_dev));
    const ssize_t Length = readlink(Path, Target, sizeof Target - 1);
    if (Length <= 0)
        return false;
    Target[Length] = '\0';
    const char* Slash = std::strrchr(Target, '/');
    const char* Last = Slash != nullptr ? Slash + 1 : Target;
    if (std::strlen(Last) >= sizeof Name)
        return false;
    std::strcpy(Name, Last);
    return true;
}
