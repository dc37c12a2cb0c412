// Filling the free space of btrfs's metadata, on Linux.
//
// btrfs keeps files of up to 2 KiB inside its metadata tree, with every name,
// and writes each change of the tree to a new place, so the old tree blocks
// stay in the free space of its metadata block groups, which a file's data
// never reaches. Once the fill has taken every unallocated chunk, the tree
// cannot grow into new ones: records of the fill's own file, extended
// attributes of fill, then go into that free space, over the old blocks,
// until the file system refuses more. What stays free then is what btrfs
// keeps back for its own use (its global reserve), measured and said. Any
// owner may set "user." attributes on a file of its own; the attributes go
// with the nameless file when it is closed, however the process ends.

#include "internal.h"

#include <cstdio>
#include <sys/statfs.h>
#include <sys/xattr.h>

// The value of each attribute: a few to a leaf of the tree, so that the last
// leaves are filled close to full.
constexpr DWORD AttributeBytes = 3900;

MoveResult FillMetadataFreeSpace(HANDLE File, LPCVOID Data, DWORD DataLength)
{
    MoveResult Result = {0, ERROR_SUCCESS, 0, KEPT_SIZE_UNKNOWN};
    const int Fd = Descriptor(File);
    struct statfs Volume;
    if (fstatfs(Fd, &Volume) != 0 || Volume.f_type != BtrfsMagic || DataLength < AttributeBytes)
        return {0, ERROR_NOT_SUPPORTED, 0, KEPT_SIZE_UNKNOWN};
    // Each attribute takes its value from the next part of the fill's window,
    // so that no two leaves hold the same bytes.
    const unsigned char* const Bytes = static_cast<const unsigned char*>(Data);
    const DWORD Parts = DataLength / AttributeBytes;
    char Name[32];
    int Error = 0;
    for (unsigned long long Count = 0;; ++Count) {
        std::snprintf(Name, sizeof Name, "user.q%llu", Count);
        if (fsetxattr(Fd, Name, Bytes + Count % Parts * AttributeBytes, AttributeBytes, XATTR_CREATE) != 0) {
            Error = errno;
            break;
        }
        Result.MovedBytes += AttributeBytes;
    }
    // The file system is full (ENOSPC), or a quota spent: the normal end.
    // Attributes refused outright (a mount without them) reach nothing.
    if (Error != ENOSPC && Error != EDQUOT) {
        Result.Status = Result.MovedBytes == 0 && (Error == EOPNOTSUPP || Error == EPERM) ? ERROR_NOT_SUPPORTED
                                                                                         : ERROR_GEN_FAILURE;
        Result.Error = static_cast<DWORD>(Error);
        if (Result.Status == ERROR_GEN_FAILURE)
            return Result;
    }
    // The records reach the drive when the file system commits them.
    std::uint64_t Free = 0;
    if (syncfs(Fd) != 0)
        return {Result.MovedBytes, ERROR_GEN_FAILURE, static_cast<DWORD>(errno), KEPT_SIZE_UNKNOWN};
    if (BtrfsMetadataFree(Fd, Free))
        Result.KeptLeft = Free;
    return Result;
}
