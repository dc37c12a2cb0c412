// The one platform header the front end and the filler include.
//
// On Windows it is <windows.h> itself. Elsewhere it declares the handful of
// Win32 types, constants and functions Quorlane calls, with the same names and
// signatures, so that the program's own code compiles unchanged; the Linux
// backend gives them their effects, a source for each concern in linux/: the
// console, the drives, the mount table, the fill's file, the volume's free
// space, who may use ext4's reserve, what the fill leaves (remains.cpp),
// moving that onto the fill (refill.cpp) or into btrfs's metadata
// (metadata.cpp), and the trim.
//
// It also declares Quorlane's own services, for what Win32 has no call for:
//
//   BOOL IsPlaceName(LPCSTR Argument)
//     Whether the drive argument names a place by its path, as Linux names
//     drives (an argument with a slash whose second character is not a
//     colon, or "." or ".."), rather than by a drive letter:
//     SetCurrentDirectoryA enters such a place, and the drive is the volume
//     that holds it, whose mount point GetVolumePathNameA gives, and its
//     type and device GetVolumeInformationA and
//     GetVolumeNameForVolumeMountPointA.
//
// and these that act on the volume of the current directory:
//
//   DWORD CheckCreateAccess()
//     Whether this process may make a file in the current directory, as far
//     as can be told without making one: ERROR_SUCCESS; ERROR_WRITE_PROTECT,
//     the volume is read-only; ERROR_ACCESS_DENIED, only its owner or an
//     administrator (root) may write there. The system's reason for a
//     refusal is left for GetLastError.
//   Remains MeasureRemains()
//     Once the fill's file has taken all the space it can and been flushed:
//     what the file system keeps from every file, which no fill reaches and
//     which may hold what deleted files left there, measured once (see
//     Remains below).
//   MoveResult RefillFreedRanges(HANDLE File, ULONGLONG BytesToFree, LPCVOID Data, DWORD DataLength)
//     Once File, the fill's file, has taken all the space it can and been
//     flushed: moves what stays free off the smallest free pieces, where
//     deleted files lay, onto blocks the fill has written. Frees up to
//     BytesToFree of File (at most all of it), a range at a time, and takes
//     allocation units again, each written from Data, in pieces the file
//     system places in its smallest free pieces first, for as long as it
//     finds them; then flushes. Where the file system's map of its free
//     space can be read (ext4 and xfs give it to any user), it measures
//     KeptLeft: the free bytes outside the ranges it freed, which no fill
//     wrote, and the blocks of File's own extent map, which go free with
//     it, where the journal may not have written them to their place.
//   MoveResult FillMetadataFreeSpace(HANDLE File, LPCVOID Data, DWORD DataLength)
//     Once File, the fill's file, has taken all the space it can and been
//     flushed, where the kept space lies in the file system's metadata:
//     writes fill from Data into it, as records of File's own (extended
//     attributes), until the file system refuses more, and commits them;
//     then measures what stays free there. The records go with the file.
//   TrimResult TrimFreeSpace()
//     Once the fill's file is deleted: has the drive discard all the
//     volume's free space. Its Status is ERROR_SUCCESS; a refusal, as
//     MeasureRemains gives them, where the drive turns out not to discard
//     after all (as a FUSE file system on an image tells only now); or
//     ERROR_GEN_FAILURE where the trim failed, with the system's Error.
//
// On Windows a drive is named by its letter; and there is nothing to trim:
// its file systems tell the drive of a deleted file's clusters themselves,
// and keep no free space from files that a trim would clear, so its source
// for them (windows/remains.cpp) says so. Its windows/ sources are named as
// the Linux backend's that give the same services.
//
// Last, what the program tells its user differs by platform in a few words:
// PlatformName, which its title ends with; AdministratorName, who may write
// everywhere; and ElevatedRun, how to run a program as that user.
#pragma once

// What MeasureRemains reports of the space kept from every file.
#define KEPT_SIZE_UNKNOWN 0xFFFFFFFFFFFFFFFFull
#define DISCARD_SIZE_UNKNOWN 0xFFFFFFFFu
#define KEPT_BY_FILE_SYSTEM 0u
#define KEPT_BY_POOL 1u
#define KEPT_BELOW 2u
#define KEPT_IN_FREE_SPACE 0u
#define KEPT_IN_METADATA 1u
#define INODE_DATA_UNKNOWN 2u

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#define PLATFORM_NAME "Win32"
constexpr char AdministratorName[] = "an administrator";
constexpr char ElevatedRun[] = "from a command prompt opened with Run as administrator";
// Whether the fill moves the free space kept from this user onto itself
// before the delete (RefillFreedRanges): not on Windows.
constexpr bool MovesSpaceKeptFromUser = false;

inline BOOL IsPlaceName(LPCSTR)
{
    return FALSE;
}


#else

#include <cstdarg>
#include <cstdint>

#define PLATFORM_NAME "Linux"
constexpr char AdministratorName[] = "root";
constexpr char ElevatedRun[] = "as root, with sudo";
constexpr bool MovesSpaceKeptFromUser = true;

typedef int BOOL;
typedef unsigned int UINT;
typedef std::uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef std::uint64_t ULONGLONG;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef BOOL* LPBOOL;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;

// A 64-bit count, laid out as on Windows: the low half first.
union ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
};
typedef ULARGE_INTEGER* PULARGE_INTEGER;

// Only ever passed as null pointers; never defined.
struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef OVERLAPPED* LPOVERLAPPED;

#define TRUE 1
#define FALSE 0
#define ERROR_SUCCESS 0u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define GENERIC_WRITE 0x40000000u
#define CREATE_NEW 1u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_DEVICE 0x00000040u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu
#define SEM_FAILCRITICALERRORS 0x0001u
#define CP_ACP 0u
#define CP_UTF8 65001u

UINT SetErrorMode(UINT Mode);
BOOL SetConsoleTitleA(LPCSTR Title);
HANDLE GetStdHandle(DWORD StdHandle);
BOOL WriteConsoleA(HANDLE Console, LPCVOID Buffer, DWORD CharsToWrite, LPDWORD CharsWritten,
                   LPVOID Reserved);
BOOL GetConsoleMode(HANDLE Console, LPDWORD Mode);
UINT GetConsoleOutputCP();
UINT GetACP();
int MultiByteToWideChar(UINT CodePage, DWORD Flags, LPCSTR Bytes, int ByteCount, LPWSTR Wide, int WideCount);
int WideCharToMultiByte(UINT CodePage, DWORD Flags, LPCWSTR Wide, int WideCount, LPSTR Bytes, int ByteCount,
                        LPCSTR DefaultChar, LPBOOL UsedDefaultChar);
ULONGLONG GetTickCount64();
BOOL SetCurrentDirectoryA(LPCSTR PathName);
DWORD GetFileAttributesA(LPCSTR FileName);
DWORD GetCurrentDirectoryA(DWORD BufferLength, LPSTR Buffer);
BOOL GetVolumePathNameA(LPCSTR FileName, LPSTR VolumePathName, DWORD BufferLength);
BOOL GetDiskFreeSpaceExA(LPCSTR DirectoryName, PULARGE_INTEGER FreeBytesAvailableToCaller,
                         PULARGE_INTEGER TotalNumberOfBytes, PULARGE_INTEGER TotalNumberOfFreeBytes);
HANDLE CreateFileA(LPCSTR FileName, DWORD DesiredAccess, DWORD ShareMode,
                   LPSECURITY_ATTRIBUTES SecurityAttributes, DWORD CreationDisposition,
                   DWORD FlagsAndAttributes, HANDLE TemplateFile);
BOOL WriteFile(HANDLE File, LPCVOID Buffer, DWORD BytesToWrite, LPDWORD BytesWritten,
               LPOVERLAPPED Overlapped);
BOOL FlushFileBuffers(HANDLE File);
BOOL CloseHandle(HANDLE Object);
LPSTR CharUpperA(LPSTR String);
DWORD GetLastError();
DWORD FormatMessageA(DWORD Flags, LPCVOID Source, DWORD MessageId, DWORD LanguageId, LPSTR Buffer,
                     DWORD Size, va_list* Arguments);

BOOL IsPlaceName(LPCSTR Argument);
BOOL GetVolumeInformationA(LPCSTR RootPathName, LPSTR VolumeNameBuffer, DWORD VolumeNameSize,
                           LPDWORD VolumeSerialNumber, LPDWORD MaximumComponentLength, LPDWORD FileSystemFlags,
                           LPSTR FileSystemNameBuffer, DWORD FileSystemNameSize);
BOOL GetVolumeNameForVolumeMountPointA(LPCSTR VolumeMountPoint, LPSTR VolumeName, DWORD BufferLength);
BOOL GetVolumePathNamesForVolumeNameA(LPCSTR VolumeName, LPSTR VolumePathNames, DWORD BufferLength,
                                      LPDWORD ReturnLength);

#endif

// Quorlane's own services that each backend gives in sources of its own
// (linux/file.cpp, remains.cpp, refill.cpp, metadata.cpp and trim.cpp;
// windows/file.cpp and remains.cpp), and the values they pass back.

DWORD CheckCreateAccess();

// What the file system keeps from every file, as MeasureRemains found it.
struct Remains {
    // The free space kept: 0 where it keeps none; KEPT_SIZE_UNKNOWN where it
    // keeps some, but how much could not be read.
    ULONGLONG KeptBytes;
    // Who keeps it: KEPT_BY_FILE_SYSTEM; KEPT_BY_POOL, a pool of drives that
    // keeps part of itself from every file system on it, as ZFS does;
    // KEPT_BELOW, a file system under this one, as under an overlay, that
    // this process cannot reach to measure or trim.
    DWORD Keeper;
    // The least the drive discards at once, where that is more than the file
    // system's block (else 0): free pieces smaller than that stay as they
    // are. DISCARD_SIZE_UNKNOWN where it could not be read.
    DWORD SmallestDiscard;
    // ERROR_SUCCESS where TrimFreeSpace can have the drive discard the
    // volume's free space, or why it cannot: ERROR_ACCESS_DENIED, only an
    // administrator (root) may ask, and the drive discards, or may;
    // ERROR_NOT_SUPPORTED, the drive or the file system does not discard,
    // whoever asks.
    DWORD TrimRefusal;
    // The system's error for the first fact that could not be read, or
    // ERROR_SUCCESS.
    DWORD Error;
    // Where it lies: KEPT_IN_FREE_SPACE, in free blocks that a file's data
    // could take once the file system lets go of them (RefillFreedRanges);
    // KEPT_IN_METADATA, in the free space of the file system's metadata,
    // which only its own records take, as btrfs keeps small files and names
    // there (FillMetadataFreeSpace).
    DWORD KeptIn;
    // Where the file system keeps small files inside their inodes (ext4's
    // inline_data), which no fill and no trim reaches: TRUE; FALSE; or
    // INODE_DATA_UNKNOWN where that could not be told.
    DWORD InodeData;
};

// What a move onto the fill did: the bytes of fill it wrote into the kept
// space (as the file system's map of its free space shows, where it can be
// read; else as many as its requests took), and ERROR_SUCCESS,
// ERROR_NOT_SUPPORTED where the file system cannot do it, or
// ERROR_GEN_FAILURE with the failing call's Error; and, where it measured
// it afterwards, the kept space that stays unwritten (else
// KEPT_SIZE_UNKNOWN).
struct MoveResult {
    ULONGLONG MovedBytes;
    DWORD Status;
    DWORD Error;
    ULONGLONG KeptLeft;
};

// What TrimFreeSpace did, as its comment in platform.h says.
struct TrimResult {
    DWORD Status;
    DWORD Error;
};

Remains MeasureRemains();
MoveResult RefillFreedRanges(HANDLE File, ULONGLONG BytesToFree, LPCVOID Data, DWORD DataLength);
MoveResult FillMetadataFreeSpace(HANDLE File, LPCVOID Data, DWORD DataLength);
TrimResult TrimFreeSpace();
