// What the fill leaves, on Windows: nothing to measure, move or trim. Its
// file systems tell the drive of a deleted file's clusters as they free
// them, and keep no free space from files that a trim would clear.

#include "platform.h"

Remains MeasureRemains()
{
    return {0, KEPT_BY_FILE_SYSTEM, 0, ERROR_NOT_SUPPORTED, ERROR_SUCCESS, KEPT_IN_FREE_SPACE, FALSE};
}

MoveResult RefillFreedRanges(HANDLE, ULONGLONG, LPCVOID, DWORD)
{
    return {0, ERROR_NOT_SUPPORTED, ERROR_SUCCESS, KEPT_SIZE_UNKNOWN};
}

MoveResult FillMetadataFreeSpace(HANDLE, LPCVOID, DWORD)
{
    return {0, ERROR_NOT_SUPPORTED, ERROR_SUCCESS, KEPT_SIZE_UNKNOWN};
}

TrimResult TrimFreeSpace()
{
    return {ERROR_NOT_SUPPORTED, ERROR_SUCCESS};
}
