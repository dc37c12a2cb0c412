// The mount table on Linux, under the Win32 names of its services.
//
//   - The volume of a directory is the mount that directory is on, found in
//     /proc/self/mountinfo by the mount id statx gives the open directory,
//     not by its name: a name can lead elsewhere once another file system
//     is mounted over it, and the place entered is the directory that was
//     opened. Its mount point is the volume's path; its type (ext4, or
//     fuse.NAME for a FUSE file system) the file system's name; its source
//     (a device, a pool's dataset) the volume's name.
//   - An overlay, as a container's root is, makes every new file in the
//     directory of its upper layer, on another file system. Where this
//     process can reach that directory, the volume's free space, what it
//     keeps from every file and its trim are those of that file system;
//     where it cannot, the volume is an overlay, and says so.

#include "internal.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

// Headers older than Linux 5.8 lack the mask bit; kernels older than that
// leave it out, and the mount is then found by its device number.
#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif

constexpr long OverlayMagic = 0x794C7630;

// Decodes in place the octal escapes the mount table writes for a blank,
// a tab, a newline, a backslash and, in an option, a comma.
static void Unescape(char* Text)
{
    char* To = Text;
    for (const char* From = Text; *From != '\0'; ++To) {
        if (From[0] == '\\' && From[1] >= '0' && From[1] <= '3' && From[2] >= '0' && From[2] <= '7' &&
            From[3] >= '0' && From[3] <= '7') {
            *To = static_cast<char>((From[1] - '0') << 6 | (From[2] - '0') << 3 | (From[3] - '0'));
            From += 4;
        } else {
            *To = *From++;
        }
    }
    *To = '\0';
}

// Copies Text into Field, whole or not at all.
template <std::size_t Size>
static bool CopyField(const char* Text, char (&Field)[Size])
{
    if (std::strlen(Text) >= Size)
        return false;
    std::strcpy(Field, Text);
    return true;
}

bool ParseMountLine(char* Line, MountLine& Mount)
{
    // A line: the mount id, its parent's, the device number, the root within
    // the file system, the mount point, its options, optional fields, "-",
    // the type, the source and the file system's own options.
    unsigned long long Id;
    unsigned Major, Minor;
    int PointAt = 0, PointEnd = 0;
    if (std::sscanf(Line, "%llu %*u %u:%u %*s %n%*s%n", &Id, &Major, &Minor, &PointAt, &PointEnd) != 3 ||
        PointEnd == 0)
        return false;
    char* const Dash = std::strstr(Line + PointEnd, " - ");
    if (Dash == nullptr)
        return false;
    Line[PointEnd] = '\0';
    char* Fields[3] = {};
    char* Save = nullptr;
    char* Field = strtok_r(Dash + 3, " \n", &Save);
    for (int Index = 0; Field != nullptr && Index < 3; Field = strtok_r(nullptr, " \n", &Save))
        Fields[Index++] = Field;
    if (Fields[1] == nullptr)
        return false;
    Unescape(Line + PointAt);
    Unescape(Fields[0]);
    Unescape(Fields[1]);
    Mount = {Id, makedev(Major, Minor), Line + PointAt, Fields[0], Fields[1], nullptr};
    // The options are split at their commas before they are decoded, since
    // a comma inside one is written as an escape.
    for (char* Option = Fields[2] != nullptr ? strtok_r(Fields[2], ",", &Save) : nullptr; Option != nullptr;
         Option = strtok_r(nullptr, ",", &Save))
        if (std::strncmp(Option, "upperdir=", 9) == 0) {
            Unescape(Option);
            Mount.Upper = Option + 9;
        }
    return true;
}

// Calls Visit(Mount) for each mount the table lists, in its order, until
// Visit returns false. A line longer than the buffer is passed over: no
// mount of ours has a path that long. False where the table cannot be read.
template <typename Visitor>
static bool ForEachMount(Visitor Visit)
{
    std::FILE* Table = std::fopen("/proc/self/mountinfo", "re");
    if (Table == nullptr)
        return false;
    char Line[16384];
    MountLine Mount;
    while (std::fgets(Line, sizeof Line, Table) != nullptr) {
        if (std::strchr(Line, '\n') == nullptr) {
            int Rest;
            while ((Rest = std::fgetc(Table)) != EOF && Rest != '\n') {
            }
            continue;
        }
        if (ParseMountLine(Line, Mount) && !Visit(Mount))
            break;
    }
    std::fclose(Table);
    return true;
}

bool IsListedMountPoint(const char* Path)
{
    bool Found = false;
    ForEachMount([&](const MountLine& Mount) {
        Found = std::strcmp(Mount.Point, Path) == 0;
        return !Found;
    });
    return Found;
}

bool FindMount(int Fd, char (&Point)[PATH_MAX], char (&Type)[NAME_MAX + 1], char (&Source)[PATH_MAX],
               char (&Upper)[PATH_MAX])
{
    // By the mount id where the kernel gives it, and else, or where no line
    // has it (as under qemu-user), by the device number, where the last
    // mount of it wins, as the newest.
    struct statx Status;
    struct stat Device;
    if (fstat(Fd, &Device) != 0)
        return false;
    bool ById = statx(Fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &Status) == 0 && (Status.stx_mask & STATX_MNT_ID) != 0;
    bool Found = false;
    for (int Pass = ById ? 0 : 1; Pass < 2 && !Found; ++Pass) {
        const bool Matching = ForEachMount([&](const MountLine& Mount) {
            if (Pass == 0 ? Mount.Id != Status.stx_mnt_id : Mount.Device != Device.st_dev)
                return true;
            Upper[0] = '\0';
            if (Mount.Upper != nullptr)
                CopyField(Mount.Upper, Upper);
            Found = CopyField(Mount.Point, Point) && CopyField(Mount.Type, Type) && CopyField(Mount.Source, Source);
            return Pass == 1;  // by device number, a later line may be newer
        });
        if (!Matching)
            return false;
    }
    return Found;
}

BOOL GetVolumePathNamesForVolumeNameA(LPCSTR VolumeName, LPSTR VolumePathNames, DWORD BufferLength,
                                      LPDWORD ReturnLength)
{
    // A volume is a block device here; it is mounted wherever a mount's
    // device number is its own, or, for a file system that numbers its
    // mounts apart from its device (btrfs), wherever the source names it.
    struct stat Device;
    char Named[PATH_MAX], Source[PATH_MAX];
    if (VolumeName == nullptr || stat(VolumeName, &Device) != 0)
        return FALSE;
    if (!S_ISBLK(Device.st_mode) || realpath(VolumeName, Named) == nullptr) {
        errno = ENOTBLK;
        return FALSE;
    }
    DWORD Length = 0;
    bool Fits = true;
    const bool Read = ForEachMount([&](const MountLine& Mount) {
        if (Mount.Device != Device.st_rdev &&
            !(Mount.Source[0] == '/' && realpath(Mount.Source, Source) != nullptr && std::strcmp(Source, Named) == 0))
            return true;
        const DWORD Size = static_cast<DWORD>(std::strlen(Mount.Point) + 1);
        if (Length + Size + 1 <= BufferLength)
            std::memcpy(VolumePathNames + Length, Mount.Point, Size);
        else
            Fits = false;
        Length += Size;
        return true;
    });
    if (ReturnLength != nullptr)
        *ReturnLength = Length + 1;
    if (!Read)
        return FALSE;
    if (!Fits || BufferLength == 0) {
        errno = ERANGE;
        return FALSE;
    }
    VolumePathNames[Length] = '\0';
    return TRUE;
}

int OpenVolume(const char* Directory, bool& Below)
{
    Below = false;
    const int Fd = open(Directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct statfs Volume, Layer;
    if (Fd < 0 || fstatfs(Fd, &Volume) != 0 || Volume.f_type != OverlayMagic)
        return Fd;
    // The overlay counts its free space as its upper layer's file system
    // does: the directory reached is taken for that layer only where the
    // counts agree, so that a path that means another thing here (as in a
    // container, where the path is the host's) is not taken for it.
    char Point[PATH_MAX], Type[NAME_MAX + 1], Source[PATH_MAX], Upper[PATH_MAX];
    const int Layers = FindMount(Fd, Point, Type, Source, Upper) && Upper[0] != '\0'
                           ? open(Upper, O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                           : -1;
    if (Layers >= 0 && fstatfs(Layers, &Layer) == 0 && Layer.f_type != OverlayMagic &&
        Layer.f_blocks == Volume.f_blocks && Layer.f_bsize == Volume.f_bsize && Layer.f_files == Volume.f_files) {
        close(Fd);
        return Layers;
    }
    if (Layers >= 0)
        close(Layers);
    Below = true;
    return Fd;
}

// What the mount table says of the volume of Path (null: the current
// directory, as Windows takes it); the mount point, the type
// and the source go to whichever of Point, Type and Source are not null.
// Where Path names the current directory or its mount point, that is the
// mount of the directory entered, since by name either may now lead to
// another mount; so the table is read once for a name of the current
// directory's, and twice for another.
static BOOL DescribeMount(LPCSTR Path, LPSTR Point, LPSTR Type, LPSTR Source, DWORD Size)
{
    // In the order of the parameters: mount point, type, source.
    char Found[3][PATH_MAX], Upper[PATH_MAX], Here[PATH_MAX], Resolved[PATH_MAX];
    char FoundType[NAME_MAX + 1];
    const char* const Named = Path != nullptr ? Path : ".";
    const int Current = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    bool Known = Current >= 0 && FindMount(Current, Found[0], FoundType, Found[2], Upper);
    const bool OfCurrent = Known && getcwd(Here, sizeof Here) != nullptr &&
                      (std::strcmp(Named, ".") == 0 || std::strcmp(Named, Here) == 0 ||
                       std::strcmp(Named, Found[0]) == 0 ||
                       (realpath(Named, Resolved) != nullptr && std::strcmp(Resolved, Here) == 0));
    if (Current >= 0)
        close(Current);
    if (!OfCurrent) {
        const int Fd = open(Named, O_PATH | O_CLOEXEC);
        Known = Fd >= 0 && FindMount(Fd, Found[0], FoundType, Found[2], Upper);
        if (Fd >= 0)
            close(Fd);
    }
    std::strcpy(Found[1], Known ? FoundType : "");
    LPSTR const Wanted[3] = {Point, Type, Source};
    for (int Index = 0; Known && Index < 3; ++Index)
        if (Wanted[Index] != nullptr && std::strlen(Found[Index]) >= Size) {
            errno = ENAMETOOLONG;
            return FALSE;
        }
    for (int Index = 0; Known && Index < 3; ++Index)
        if (Wanted[Index] != nullptr)
            std::strcpy(Wanted[Index], Found[Index]);
    return Known ? TRUE : FALSE;
}

BOOL GetVolumePathNameA(LPCSTR FileName, LPSTR VolumePathName, DWORD BufferLength)
{
    return DescribeMount(FileName, VolumePathName, nullptr, nullptr, BufferLength);
}

BOOL GetVolumeInformationA(LPCSTR RootPathName, LPSTR VolumeNameBuffer, DWORD VolumeNameSize,
                           LPDWORD VolumeSerialNumber, LPDWORD MaximumComponentLength, LPDWORD FileSystemFlags,
                           LPSTR FileSystemNameBuffer, DWORD FileSystemNameSize)
{
    // Linux volumes have no label or serial number that the mount table
    // tells; the name of the file system is all this gives.
    if (VolumeNameBuffer != nullptr && VolumeNameSize > 0)
        VolumeNameBuffer[0] = '\0';
    if (VolumeSerialNumber != nullptr)
        *VolumeSerialNumber = 0;
    if (MaximumComponentLength != nullptr)
        *MaximumComponentLength = NAME_MAX;
    if (FileSystemFlags != nullptr)
        *FileSystemFlags = 0;
    return DescribeMount(RootPathName, nullptr, FileSystemNameBuffer, nullptr, FileSystemNameSize);
}

BOOL GetVolumeNameForVolumeMountPointA(LPCSTR VolumeMountPoint, LPSTR VolumeName, DWORD BufferLength)
{
    return DescribeMount(VolumeMountPoint, nullptr, nullptr, VolumeName, BufferLength);
}
