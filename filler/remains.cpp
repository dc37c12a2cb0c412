// What the fill leaves to the file system: the free space it keeps from
// every file, and so from the fill. Before the delete it is moved off the
// small pieces where deleted files lay; after it, trimmed where the drive
// discards; and where deleted files may still lie there, the run says so
// and the wipe is marked incomplete.
#include "filler.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

// The fill's bytes written into the smallest free pieces before the delete.
static ULARGE_INTEGER MovedBytes = {};

// Announced first, since a hard disk takes seconds for the scattered writes.
void MoveKeptSpace(HANDLE File, LPCVOID Data, DWORD DataLength, std::uint64_t LeftBytes)
{
    ULARGE_INTEGER Kept;
    DWORD SmallestDiscard, Keeper;
    MovedBytes.QuadPart = 0;
    const DWORD Refusal = GetUntrimmedFreeSpace(&Kept, &SmallestDiscard, &Keeper);
    if (Keeper != KEPT_BY_FILE_SYSTEM || Kept.QuadPart == 0 || Kept.QuadPart == KEPT_SIZE_UNKNOWN ||
        (Refusal == ERROR_SUCCESS && SmallestDiscard == 0))
        return;
    std::fputs("Moving the free space kept from files onto the fill...\n", stdout);
    std::fflush(stdout);
    if (MoveFreeSpaceOntoFill(File, Kept.QuadPart + LeftBytes, Data, DataLength, &MovedBytes) ==
        ERROR_GEN_FAILURE) {
        const DWORD Reason = GetLastError();
        WipeIncomplete = true;
        MovedBytes.QuadPart = 0;
        std::fputs("The free space kept from files could not all be moved onto the fill:\n", stdout);
        PrintReason(Reason);
        std::fflush(stdout);
    }
}

// What overwrites the kept space where no trim reaches it: on ext2/3/4,
// zerofree, which writes zeros over every free block of a file system that
// is not mounted for writing; elsewhere nothing short of the whole drive.
static void PrintUntrimmedRemedy()
{
    char FileSystem[32] = "";
    if (GetVolumeInformationA(nullptr, nullptr, 0, nullptr, nullptr, nullptr, FileSystem, sizeof FileSystem) &&
        std::strncmp(FileSystem, "ext", 3) == 0)
        std::fputs(" zerofree, run on the drive while it is not mounted, overwrites that space.", stdout);
    else
        std::fputs(" Only a wipe of the whole drive overwrites that space.", stdout);
}

// The announcement goes first, since a slow drive can take a while to
// discard.
bool TrimDeletedSpace()
{
    ULARGE_INTEGER Kept;
    DWORD SmallestDiscard, Keeper;
    DWORD Refusal = GetUntrimmedFreeSpace(&Kept, &SmallestDiscard, &Keeper);
    if (Refusal == ERROR_SUCCESS) {
        std::fputs("Trimming free space...\n", stdout);
        std::fflush(stdout);
        Refusal = TrimFreeSpace();
        if (Refusal == ERROR_GEN_FAILURE) {
            const DWORD Reason = GetLastError();
            WipeIncomplete = true;
            std::fputs("The free space could not all be trimmed; what deleted files left in the space the file "
                       "system keeps from every file may remain:\n",
                       stdout);
            PrintReason(Reason);
            std::fputs("Once the drive is sound, fstrim, run as root on its mount point, trims it.\n", stdout);
            std::fflush(stdout);
            return false;
        }
    }
    const bool Trimmed = Refusal == ERROR_SUCCESS;
    if (Keeper == KEPT_BY_POOL) {
        WipeIncomplete = true;
        std::fputs("ZFS keeps part of the pool from every file, and how much could not be measured: what deleted "
                   "files left there was not overwritten. On OpenZFS, zpool initialize writes over it on any drive, "
                   "and zpool trim clears it where the pool's drives discard.\n",
                   stdout);
    } else if (Keeper == KEPT_BELOW) {
        WipeIncomplete = true;
        std::fputs("The free space that the file system under this overlay keeps from every file could not be "
                   "measured or trimmed from here; run Quorlane on that file system itself.\n",
                   stdout);
    } else if (Kept.QuadPart != 0 && !(Trimmed && SmallestDiscard == 0)) {
        WipeIncomplete = true;
        if (Kept.QuadPart == KEPT_SIZE_UNKNOWN)
            std::fputs("The free space that the file system keeps from every file could not be measured", stdout);
        else
            std::printf("%" PRIu64 " bytes of free space that the file system keeps from every file", Kept.QuadPart);
        const char* const Were = Kept.QuadPart == KEPT_SIZE_UNKNOWN ? "; it was" : " were";
        if (Trimmed && SmallestDiscard == DISCARD_SIZE_UNKNOWN)
            std::printf("%s trimmed, but the least the drive discards at once could not be read; smaller pieces "
                        "may keep what they held.",
                        Were);
        else if (Trimmed)
            std::printf("%s not all trimmed, as the drive discards only pieces of %lu bytes or more; smaller ones "
                        "keep what they held.",
                        Were, static_cast<unsigned long>(SmallestDiscard));
        else if (Refusal == ERROR_ACCESS_DENIED)
            std::printf("%s not trimmed, as only %s may trim, and the drive discards: run it %s, to trim %s.", Were,
                        AdministratorName, ElevatedRun, Kept.QuadPart == KEPT_SIZE_UNKNOWN ? "it" : "them");
        else
            std::printf("%s not trimmed, as the drive does not discard; %s.", Were,
                        Kept.QuadPart == KEPT_SIZE_UNKNOWN ? "it keeps what it held" : "they keep what they held");
        if (MovedBytes.QuadPart != 0)
            std::fputs(" Before the delete, the fill took the smallest free pieces, where deleted files lay, and "
                       "left free blocks it had written.",
                       stdout);
        if (Refusal != ERROR_ACCESS_DENIED || Trimmed)
            PrintUntrimmedRemedy();
        std::fputs("\n", stdout);
    }
    std::fflush(stdout);
    return Trimmed;
}
