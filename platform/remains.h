// The values Quorlane's own services for what the fill leaves pass back,
// alike on every platform; included by platform.h once the Win32 types are
// declared.
#pragma once

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
};

// What RefillFreedRanges did: the bytes of fill it wrote into free pieces,
// and ERROR_SUCCESS, ERROR_NOT_SUPPORTED where the file system cannot do it,
// or ERROR_GEN_FAILURE with the failing call's Error.
struct MoveResult {
    ULONGLONG MovedBytes;
    DWORD Status;
    DWORD Error;
};

// What TrimFreeSpace did, as its comment in platform.h says.
struct TrimResult {
    DWORD Status;
    DWORD Error;
};
