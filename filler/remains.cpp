// What the fill leaves to the file system: the free space it keeps from
// every file, and so from the fill. Before the delete it is moved off the
// small pieces where deleted files lay; after it, trimmed where the drive
// discards; and where deleted files may still lie there, the run says so,
// says what clears it, and the wipe is marked incomplete.
#include "filler.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

// How much of the fill's file the move frees in all: twice and a quarter
// what stays free, so that what stays free at the end lies in the ranges
// freed even where the file system's requests reach some of them before the
// deleted files' holes. What the file system keeps from every file, at most
// 768 MiB, so that the requests stay bounded whatever the drive's size; but
// where space is kept from this user (root's reserve, 5% of the drive, 12.8
// GiB of 256 GiB), all of it: the move then frees up to the whole fill and
// takes as much again a block at a time, the fill's size written twice.
// The measurements behind these figures are in docs/evidence.md.
static std::uint64_t BytesToFree(std::uint64_t Kept, std::uint64_t LeftBytes)
{
    constexpr std::uint64_t MostFreed = std::uint64_t{768} << 20;
    return LeftBytes != 0 ? (Kept + LeftBytes) / 4 * 9 : std::min(Kept / 4 * 9, MostFreed);
}

// Announced first, since a hard disk takes seconds for the scattered writes.
// The free space kept from files is moved only where no whole trim follows;
// btrfs's metadata is filled before a trim too, since a trim leaves small
// deleted files there in blocks btrfs still uses (docs/evidence.md). Space
// kept from this user alone is moved too where the file system keeps none
// from every file, as ext2 and ext3 keep none.
MoveResult MoveKeptSpace(HANDLE File, LPCVOID Data, DWORD DataLength, const Remains& Kept, std::uint64_t LeftBytes)
{
    const bool Metadata = Kept.KeptIn == KEPT_IN_METADATA;
    if (Kept.Keeper != KEPT_BY_FILE_SYSTEM || (Kept.KeptBytes == 0 && LeftBytes == 0) ||
        Kept.KeptBytes == KEPT_SIZE_UNKNOWN ||
        (!Metadata && Kept.TrimRefusal == ERROR_SUCCESS && Kept.SmallestDiscard == 0))
        return {0, ERROR_NOT_SUPPORTED, ERROR_SUCCESS, KEPT_SIZE_UNKNOWN};
    std::fputs(Metadata ? "Filling the free space the file system keeps for its metadata...\n"
                        : "Moving the free space kept from files onto the fill...\n",
               stdout);
    std::fflush(stdout);
    const MoveResult Move = Metadata ? FillMetadataFreeSpace(File, Data, DataLength)
                                     : RefillFreedRanges(File, BytesToFree(Kept.KeptBytes, LeftBytes), Data, DataLength);
    if (Move.Status == ERROR_GEN_FAILURE) {
        std::fputs(Metadata ? "The free space the file system keeps for its metadata could not all be filled:\n"
                            : "The free space kept from files could not all be moved onto the fill:\n",
                   stdout);
        PrintReason(Move.Error);
    } else if (Metadata && Move.Status == ERROR_NOT_SUPPORTED) {
        std::fputs("The file system refused the fill's extended attributes, so the free space it keeps for its "
                   "metadata was not filled:\n",
                   stdout);
        PrintReason(Move.Error);
    }
    std::fflush(stdout);
    return Move;
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
TrimReport TrimDeletedSpace(const Remains& Kept, const MoveResult& Move)
{
    // What stays of the kept space: as measured after the move, where it
    // was (what stays free and holds no fill), or as measured before.
    const std::uint64_t KeptBytes = Move.KeptLeft != KEPT_SIZE_UNKNOWN ? Move.KeptLeft : Kept.KeptBytes;
    const std::uint64_t Moved = Move.Status == ERROR_SUCCESS ? Move.MovedBytes : 0;
    DWORD Refusal = Kept.TrimRefusal;
    if (Refusal == ERROR_SUCCESS) {
        std::fputs("Trimming free space...\n", stdout);
        std::fflush(stdout);
        const TrimResult Trim = TrimFreeSpace();
        Refusal = Trim.Status;
        if (Refusal == ERROR_GEN_FAILURE) {
            std::fputs("The free space could not all be trimmed; what deleted files left in the space the file "
                       "system keeps from every file may remain:\n",
                       stdout);
            PrintReason(Trim.Error);
            std::fputs("Once the drive is sound, fstrim, run as root on its mount point, trims it.\n", stdout);
            std::fflush(stdout);
            return {false, true};
        }
    }
    const bool Trimmed = Refusal == ERROR_SUCCESS;
    const bool Unknown = KeptBytes == KEPT_SIZE_UNKNOWN;
    bool Incomplete = true;
    if (Kept.Keeper == KEPT_BY_POOL) {
        std::fputs("ZFS keeps part of the pool from every file, and how much could not be measured: what deleted "
                   "files left there was not overwritten. On OpenZFS, zpool initialize writes over it on any drive, "
                   "and zpool trim clears it where the pool's drives discard.\n",
                   stdout);
    } else if (Kept.Keeper == KEPT_BELOW) {
        std::fputs("The free space that the file system under this overlay keeps from every file could not be "
                   "measured or trimmed from here; run Quorlane on that file system itself.\n",
                   stdout);
    } else if (KeptBytes != 0 && !(Trimmed && Kept.SmallestDiscard == 0)) {
        if (Unknown)
            std::fputs("The free space that the file system keeps from every file could not be measured", stdout);
        else
            std::printf("%" PRIu64 " bytes of free space that the file system keeps from every file", KeptBytes);
        const char* const Were = Unknown ? "; it was" : " were";
        if (Trimmed && Kept.SmallestDiscard == DISCARD_SIZE_UNKNOWN)
            std::printf("%s trimmed, but the least the drive discards at once could not be read; smaller pieces "
                        "may keep what they held.",
                        Were);
        else if (Trimmed)
            std::printf("%s not all trimmed, as the drive discards only pieces of %lu bytes or more; smaller ones "
                        "keep what they held.",
                        Were, static_cast<unsigned long>(Kept.SmallestDiscard));
        else if (Refusal == ERROR_ACCESS_DENIED)
            std::printf("%s not trimmed, as only %s may trim, and the drive discards: run it %s, to trim %s.", Were,
                        AdministratorName, ElevatedRun, Unknown ? "it" : "them");
        else
            std::printf("%s not trimmed, as the drive does not discard; %s.", Were,
                        Unknown ? "it keeps what it held" : "they keep what they held");
        if (Moved != 0 && Kept.KeptIn == KEPT_IN_METADATA) {
            std::fputs(" Before the delete, the fill wrote ", stdout);
            PrintBytes(Moved);
            std::fputs(" of attributes into the file system's metadata, which holds small files and names; the "
                       "bytes above are what stayed free there.",
                       stdout);
        } else if (Moved != 0) {
            std::fputs(" Before the delete, the fill wrote ", stdout);
            PrintBytes(Moved);
            std::fputs(Move.KeptLeft != KEPT_SIZE_UNKNOWN
                           ? " over free blocks where deleted files may have lain; the bytes above are the free blocks "
                             "it did not write, as the file system's map of its free space shows."
                           : " over free blocks where deleted files may have lain; which free blocks it did not write, "
                             "the file system's map of its free space did not tell.",
                       stdout);
        }
        if (Refusal != ERROR_ACCESS_DENIED || Trimmed)
            PrintUntrimmedRemedy();
        std::fputs("\n", stdout);
    } else {
        Incomplete = false;
    }
    // Small files kept inside their inodes are neither free space nor
    // trimmed: only a new file that takes the inode writes over them.
    if (Kept.InodeData == TRUE) {
        Incomplete = true;
        std::fputs("This file system keeps small files inside their inodes (ext4's inline_data): what deleted ones "
                   "left there no fill reaches and no trim clears, until new files take those inodes. Only a wipe "
                   "of the whole drive overwrites them.\n",
                   stdout);
    } else if (Kept.InodeData == INODE_DATA_UNKNOWN) {
        Incomplete = true;
        std::fputs("Whether this file system keeps small files inside their inodes (ext4's inline_data) could not "
                   "be told; where it does, what deleted ones left there remains.\n",
                   stdout);
    }
    std::fflush(stdout);
    return {Trimmed, Incomplete};
}
