#include "filler.h"

#include <cstdio>

static const char ProductTitle[] = "Quorlane 1.00 for Win32";
static const char AttributionNotice[] = "free-space wiper, (C) 2026 the Quorlane developers";
static const char WebAddressLine[] = "https://quorlane.example/";
static const char PathExample[] = "/media/usb";

int main(int argc, char* argv[])
{
    // A drive with no medium must fail the run's calls, not stop it behind
    // a "No disk" dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    SetConsoleTitleA(ProductTitle);
    ConsoleOutput = GetStdHandle(STD_OUTPUT_HANDLE);

    std::fputs("\n", stdout);
    std::fflush(stdout);
    std::printf("%s - %s\n", ProductTitle, AttributionNotice);
    std::fflush(stdout);
    std::printf("%s\n", WebAddressLine);
    std::fflush(stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);

    // A place named by its path, where the platform names drives so: its
    // directory becomes current, and the drive is the volume that holds it.
    // Otherwise only the first two characters count: a drive letter and a
    // colon. The letter is not checked here; the directory change accepts
    // real drives only. An empty argument ends before its second character
    // is read.
    bool Entered = false;
    if (argc == 2 && IsPlaceName(argv[1])) {
        const DWORD Length = SetCurrentDirectoryA(argv[1]) ? GetCurrentDirectoryA(PlaceNameSize, PlaceDirectory) : 0;
        Entered = Length > 0 && Length < PlaceNameSize &&
                  GetVolumePathNameA(PlaceDirectory, PlaceVolume, PlaceNameSize);
        // Only to tell the user which file system this is: either may stay
        // empty.
        if (Entered && !GetVolumeInformationA(PlaceVolume, nullptr, 0, nullptr, nullptr, nullptr, PlaceFileSystem,
                                              PlaceNameSize))
            PlaceFileSystem[0] = '\0';
        if (Entered && !GetVolumeNameForVolumeMountPointA(PlaceVolume, PlaceDevice, PlaceNameSize))
            PlaceDevice[0] = '\0';
    } else if (argc == 2 && argv[1][0] != '\0' && argv[1][1] == ':') {
        RootPath[0] = argv[1][0];
        Entered = SetCurrentDirectoryA(RootPath);
    }
    if (Entered) {
        FillAvailableSpace();
        return WipeIncomplete ? 2 : 0;
    }

    // Not flushed here: the usage text goes out with the exit's flush. Where
    // the platform names drives by path, that form is shown too.
    std::fputs("You must specify a valid drive, e.g.\n", stdout);
    std::fputs("QUORLANE C:\n", stdout);
    if (IsPlaceName(PathExample))
        std::printf("quorlane %s\n", PathExample);
    return 1;
}
