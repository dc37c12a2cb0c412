// What the Linux backend's services share: a HANDLE holds a file descriptor,
// and text and data go out whole.
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
