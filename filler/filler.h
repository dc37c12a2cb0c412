// The free-space filler, the state it shares with the front end and the
// progress meter, and what its sources call in one another. Everything here
// lives for the whole run.
#pragma once

#include "platform.h"

#include <cstdint>

// What a run came to: the user said no; no file could be made there, and
// nothing was written; the free space was all overwritten, or trimmed; or
// deleted data may remain, as the run said.
enum class FillVerdict { Declined, Refused, Wiped, Incomplete };

// The drive a run fills, as the front end found it and hands it over. Where
// it was named by a path (IsPlaceName): the directory, which the front end
// made current and where the fill's file is made, the mount point of its
// volume, which the drive line shows, and that volume's file system and
// device, where they are known; all empty for a letter. Console is standard
// output, where the progress meter writes its marks raw; Confirmed, whether
// the question was answered beforehand.
constexpr DWORD PlaceNameSize = 4096;
struct FillPlace {
    char Directory[PlaceNameSize];
    char Volume[PlaceNameSize];
    char FileSystem[PlaceNameSize];
    char Device[PlaceNameSize];
    HANDLE Console;
    bool Confirmed;
};

// Fills the free space of the drive in RootPath with one delete-on-close
// temporary file of pseudo-random bytes, then flushes and closes it, which
// deletes it. Expects RootPath to hold the drive's root and that root to be
// the current directory, or else the place named by path in Place to be
// current. Asks the user first, unless Place says it was answered, and
// returns without writing anything if the answer is not yes, or where no
// file can be made.
FillVerdict FillAvailableSpace(const FillPlace& Place);

// The drive's root: its letter, ':', '\' and NUL. The front end writes the
// letter; the other three bytes never change.
extern char RootPath[4];

// The free space when the fill began, and the bytes the fill loop has had
// accepted in whole chunks so far.
extern std::uint64_t FreeByteCount;
extern std::uint64_t BytesWrittenTotal;

// Prints the system's text for error Code on a line of its own: the message
// before it names the likeliest cause, this one the real one (access denied,
// a read-only medium).
void PrintReason(DWORD Code);

// Prints the system's text for error Code with no full stop or line end, for
// the words that follow it to say what it means here.
void PrintReasonText(DWORD Code);

// Prints Name, which comes from the system or the user (a directory, a mount
// point, a device, an argument), with its control characters and
// backslashes escaped, so that a name cannot move the cursor, colour the
// terminal or split a line.
void PrintName(const char* Name);

// Prints Bytes exactly and, from one KiB on, in binary units beside them:
// "26841088 bytes (25.6 MiB)".
void PrintBytes(std::uint64_t Bytes);

// Once File, the fill's file, has been flushed and before it is closed,
// where the drive will not discard the free space that the file system
// keeps from every file, as Kept measured it (and, for another user than
// root, the LeftBytes it keeps for root): moves what stays free from the
// smallest free pieces, where deleted files lay, onto blocks the fill has
// written, each written from Data, DataLength bytes of fill. Says so, and
// where it fails. Returns what the move did: nothing, where it did not run.
MoveResult MoveKeptSpace(HANDLE File, LPCVOID Data, DWORD DataLength, const Remains& Kept, std::uint64_t LeftBytes);

// What the run's end left, as TrimDeletedSpace says it: whether the drive
// was trimmed, and whether deleted data may remain.
struct TrimReport {
    bool Trimmed;
    bool Incomplete;
};

// Once the fill's file is deleted: has the drive discard the volume's free
// space where Kept says it can, and says where the free space that the file
// system keeps from every file keeps what deleted files left there, or may,
// and what clears it; Move is what MoveKeptSpace did.
TrimReport TrimDeletedSpace(const Remains& Kept, const MoveResult& Move);
