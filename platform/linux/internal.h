// What the Linux backend's services share: a HANDLE holds a file descriptor,
// text and data go out whole, drive letters name directories and one drive is
// entered, and the fill's file tells the volume its cluster.
#pragma once

#include "platform.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <unistd.h>

inline int Descriptor(HANDLE Handle)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(Handle));
}

inline HANDLE HandleOf(int Fd)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(Fd));
}

// Writes all of Buffer, retrying after signals. Returns the bytes written;
// fewer than Length means the descriptor refused the rest.
inline std::size_t WriteAll(int Fd, const void* Buffer, std::size_t Length)
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
bool DriveDirectory(LPCSTR Path, char (&Directory)[7]);

// The letter, in lower case, of the drive whose root is the current
// directory; NUL until one is entered.
extern char CurrentDrive;

// Bytes in Blocks blocks of Size bytes, or the largest count there is where
// they would not fit in 64 bits.
std::uint64_t BlockBytes(std::uint64_t Blocks, std::uint64_t Size);

// Notes the allocation unit of the volume the new, empty file open as Fd is
// on, as the file's own allocation shows it to any user, for the free space
// of that volume: two bytes are written and taken away again.
void MeasureCluster(int Fd);
