// Who may use the blocks ext2/3/4 reserve, on Linux: the kernel gives them
// to the reserve's owner, the user resuid (root unless tune2fs -u made it
// another) or a member of the group resgid when that is not root's, and to a
// process with CAP_SYS_RESOURCE in the initial user namespace; so not to a
// root inside a user namespace of its own. The file system's options show the
// owner as the initial namespace numbers it, so this process's ids are
// followed out through its namespace's maps before they are compared.

#include "internal.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <sys/stat.h>

// The id of the initial user namespace that Id of this process's namespace
// stands for, by Map (/proc/self/uid_map or gid_map: lines of a first id
// inside, the first outside and a count). Outside is the parent namespace,
// which is the initial one for a namespace made by unshare or a rootless
// container. -1 where Id maps to none.
static long long OutsideId(const char* Map, unsigned Id)
{
    std::FILE* Lines = std::fopen(Map, "re");
    unsigned long long Inside, Outside, Count;
    long long Found = -1;
    while (Lines != nullptr && Found < 0 && std::fscanf(Lines, "%llu %llu %llu", &Inside, &Outside, &Count) == 3)
        if (Id >= Inside && Id - Inside < Count)
            Found = static_cast<long long>(Outside + (Id - Inside));
    if (Lines != nullptr)
        std::fclose(Lines);
    return Found;
}

// Whether this process's effective user is the user Id of the initial user
// namespace. The uid map leads one level out, to the namespace around this
// one: the initial namespace for one made by unshare or a rootless container,
// but in a namespace nested in another, root maps to the root of the one
// around it. So a claim to be the initial namespace's root is checked
// against a file the kernel owns as that root, which shows as this user's
// only if it is. (A nested claim to be another user is taken as it is.)
static bool IsInitialUser(unsigned long long Id)
{
    struct stat Kernel;
    return OutsideId("/proc/self/uid_map", geteuid()) == static_cast<long long>(Id) &&
           (Id != 0 || (stat("/proc/sys/kernel/osrelease", &Kernel) == 0 && Kernel.st_uid == geteuid()));
}

bool MayUseReserve(const char* Name)
{
    char Path[PATH_MAX];
    char Line[256];
    unsigned long long Value, ReserveUser = 0, ReserveGroup = 0, Capabilities = 0;
    std::snprintf(Path, sizeof Path, "/proc/fs/ext4/%s/options", Name);
    if (std::FILE* Options = std::fopen(Path, "re")) {
        while (std::fgets(Line, sizeof Line, Options) != nullptr) {
            if (std::sscanf(Line, "resuid=%llu", &Value) == 1)
                ReserveUser = Value;
            if (std::sscanf(Line, "resgid=%llu", &Value) == 1)
                ReserveGroup = Value;
        }
        std::fclose(Options);
    }
    if (std::FILE* Status = std::fopen("/proc/self/status", "re")) {
        while (std::fgets(Line, sizeof Line, Status) != nullptr)
            std::sscanf(Line, "CapEff: %llx", &Capabilities);
        std::fclose(Status);
    }
    constexpr unsigned long long SysResource = 1ull << 24;  // CAP_SYS_RESOURCE
    constexpr ino_t InitialNamespace = 0xEFFFFFFD;  // the kernel's fixed number for it
    struct stat Namespace;
    if ((Capabilities & SysResource) != 0 && stat("/proc/self/ns/user", &Namespace) == 0 &&
        Namespace.st_ino == InitialNamespace)
        return true;
    if (IsInitialUser(ReserveUser))
        return true;
    gid_t Groups[NGROUPS_MAX + 1];
    const int Count = std::max(getgroups(NGROUPS_MAX, Groups), 0);
    Groups[Count] = getegid();
    for (int Index = 0; ReserveGroup != 0 && Index <= Count; ++Index)
        if (OutsideId("/proc/self/gid_map", Groups[Index]) == static_cast<long long>(ReserveGroup))
            return true;
    return false;
}
