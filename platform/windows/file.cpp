// Whether the fill's file can be made, on Windows: the system tells before a
// file is made only whether the volume is read-only; a missing permission
// shows when the file is made, and the creation's refusal says so.

#include "platform.h"

DWORD CheckCreateAccess()
{
    DWORD Flags = 0;
    if (GetVolumeInformationA(nullptr, nullptr, 0, nullptr, nullptr, &Flags, nullptr, 0) &&
        (Flags & FILE_READ_ONLY_VOLUME) != 0) {
        SetLastError(ERROR_WRITE_PROTECT);
        return ERROR_WRITE_PROTECT;
    }
    return ERROR_SUCCESS;
}
