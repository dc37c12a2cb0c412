#include "filler.h"

#include <cstdio>
#include <cstring>

static const char ProductTitle[] = "Quorlane 1.00 for " PLATFORM_NAME;
static const char AttributionNotice[] = "free-space wiper, (C) 2026 the Quorlane developers";
static const char WebAddressLine[] = "https://quorlane.example/";
static const char PathExample[] = "/media/usb";

// Where the platform names drives by path, says why Drive, which names no
// drive that can be filled, was not taken: Entered tells whether its
// directory could be entered, and Reason what the system said where not.
static void PrintWhyRejected(const char* Drive, bool Entered, DWORD Reason)
{
    static char MountPoints[4096];
    if (Drive[0] == '\0') {
        std::fputs("The drive's name is empty.\n", stdout);
        return;
    }
    const DWORD Attributes = GetFileAttributesA(Drive);
    const bool Exists = Attributes != INVALID_FILE_ATTRIBUTES;
    const bool Directory = Exists && (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool Device = Exists && (Attributes & FILE_ATTRIBUTE_DEVICE) != 0;
    PrintName(Drive);
    if (Drive[0] == '-' && Drive[1] != '\0') {
        std::fputs(" is not an option: --help lists them.\n", stdout);
    } else if (Entered) {
        std::fputs(" holds no storage that a file can take: name a directory on a drive.\n", stdout);
    } else if (Device) {
        std::fputs(" is a device, not a directory; ", stdout);
        if (!GetVolumePathNamesForVolumeNameA(Drive, MountPoints, sizeof MountPoints, nullptr))
            std::fputs("name the directory where its file system is mounted.\n", stdout);
        else if (MountPoints[0] == '\0')
            std::fputs("it is not mounted: mount it, then name the directory where it is mounted.\n", stdout);
        else {
            std::fputs("it is mounted at ", stdout);
            PrintName(MountPoints);
            std::fputs(", so name that.\n", stdout);
        }
    } else if (!IsPlaceName(Drive) && Drive[1] == ':') {
        std::fputs(" is not a drive: ", stdout);
        PrintReasonText(Reason);
        std::fputs(".\n", stdout);
    } else if (!IsPlaceName(Drive)) {
        std::fputs(Directory ? " is a name, not a path: to fill the drive that holds that directory, write ./"
                             : " is neither a drive nor a path: name a drive's mount point, as in ",
                   stdout);
        PrintName(Directory ? Drive : PathExample);
        std::fputs(".\n", stdout);
    } else if (Exists && !Directory) {
        std::fputs(" is a file, not a directory: name the directory that holds it.\n", stdout);
    } else {
        std::fputs(": ", stdout);
        PrintReasonText(Reason);
        std::fputs(".\n", stdout);
    }
}

int main(int argc, char* argv[])
{
    // A drive with no medium must fail the run's calls, not stop it behind
    // a "No disk" dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    SetConsoleTitleA(ProductTitle);
    // What the filler is handed: too large for the stack of some systems.
    static FillPlace Place = {};
    Place.Console = GetStdHandle(STD_OUTPUT_HANDLE);

    std::fputs("\n", stdout);
    std::fflush(stdout);
    std::printf("%s - %s\n", ProductTitle, AttributionNotice);
    std::fflush(stdout);
    std::printf("%s\n", WebAddressLine);
    std::fflush(stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);

    // The options: the answer given beforehand, and the two that only ask.
    // Whatever else there is names the drive, once.
    bool Help = false, Version = false;
    const char* Drive = nullptr;
    int Named = 0;
    for (int Index = 1; Index < argc; ++Index) {
        const char* const Argument = argv[Index];
        if (std::strcmp(Argument, "-y") == 0 || std::strcmp(Argument, "--yes") == 0)
            Place.Confirmed = true;
        else if (std::strcmp(Argument, "-h") == 0 || std::strcmp(Argument, "--help") == 0 ||
                 std::strcmp(Argument, "/?") == 0)
            Help = true;
        else if (std::strcmp(Argument, "--version") == 0)
            Version = true;
        else {
            Drive = Argument;
            ++Named;
        }
    }
    if (Version && !Help)
        return 0;  // the banner says it

    // A place named by its path, where the platform names drives so: its
    // directory becomes current, and the drive is the volume that holds it.
    // Otherwise only the first two characters count: a drive letter and a
    // colon. The letter is not checked here; the directory change accepts
    // real drives only. An empty argument ends before its second character
    // is read. A place whose volume holds no storage at all (/proc) is no
    // drive.
    bool Entered = false, NoStorage = false;
    DWORD Reason = ERROR_SUCCESS;
    if (!Help && Named == 1 && IsPlaceName(Drive)) {
        const DWORD Length = SetCurrentDirectoryA(Drive) ? GetCurrentDirectoryA(PlaceNameSize, Place.Directory) : 0;
        Entered = Length > 0 && Length < PlaceNameSize &&
                  GetVolumePathNameA(Place.Directory, Place.Volume, PlaceNameSize);
        Reason = GetLastError();  // of the call that failed, where one did
        // Only to tell the user which file system this is: either may stay
        // empty.
        if (Entered && !GetVolumeInformationA(Place.Volume, nullptr, 0, nullptr, nullptr, nullptr, Place.FileSystem,
                                              PlaceNameSize))
            Place.FileSystem[0] = '\0';
        if (Entered && !GetVolumeNameForVolumeMountPointA(Place.Volume, Place.Device, PlaceNameSize))
            Place.Device[0] = '\0';
        ULARGE_INTEGER Size = {};
        NoStorage = Entered && GetDiskFreeSpaceExA(nullptr, nullptr, &Size, nullptr) && Size.QuadPart == 0;
    } else if (!Help && Named == 1 && Drive[0] != '\0' && Drive[1] == ':') {
        RootPath[0] = Drive[0];
        Entered = SetCurrentDirectoryA(RootPath);
        Reason = GetLastError();
    }
    if (Entered && !NoStorage) {
        switch (FillAvailableSpace(Place)) {
        case FillVerdict::Refused:
            return 1;
        case FillVerdict::Incomplete:
            return 2;
        default:
            return 0;
        }
    }

    // Not flushed here: the usage text goes out with the exit's flush. Where
    // the platform names drives by path, that form is shown too, and why
    // the drive named was not taken.
    std::fputs("You must specify a valid drive, e.g.\n", stdout);
    std::fputs("QUORLANE C:\n", stdout);
    const bool Paths = IsPlaceName(PathExample);
    if (Paths)
        std::printf("quorlane %s\n", PathExample);
    if (Help) {
        std::fputs("Options: -y, --yes answers the question with yes; -h, --help shows this; --version shows the "
                   "version.\n",
                   stdout);
        return 0;
    }
    if (Paths && Named > 1)
        std::fputs("Name one drive only.\n", stdout);
    else if (Paths && Named == 1)
        PrintWhyRejected(Drive, NoStorage, Reason);
    return 1;
}
