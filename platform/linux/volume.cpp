// The volume's free space on Linux, under the Win32 names of its services.
//
//   - Free space, in exact 64-bit byte counts (the largest there is for any
//     count past that), of the directory entered (".") or of another drive's.
//     Available to the caller: the blocks free to unprivileged users, and on
//     ext2/3/4 the blocks reserved for root too, where the kernel gives them
//     to this process. Total free, what a file of any user could be given: on
//     ext2/3/4 all free blocks less ext4's reserved cluster pool, which only
//     the file system itself may use (its clusters from sysfs, the blocks to
//     a cluster from the superblock or, for an ordinary user, who cannot read
//     it, from the fill's own file); elsewhere the unprivileged figure, since
//     other file systems count in all free blocks space that no file can have
//     (btrfs, xfs and ZFS: their metadata).
//   - Free space handed back. Windows' file systems tell the drive at once of
//     the clusters a deleted file frees; ext4, xfs and btrfs, as mounted by
//     default, only when fstrim runs. So once the fill's file is deleted,
//     the volume is asked to discard all its free space, as fstrim asks it
//     (FITRIM), and xfs a group at a time: the drive drops the fill, and with
//     it what was left in the free blocks no file could be given. Only root
//     may ask, and only a device that discards (an SSD, a loop device on an
//     image, a thin volume) answers. Whether it would is asked first, with a
//     request too short to discard anything, and what stays where it would
//     not is told: the free space no file can be given (ext4's reserved
//     cluster pool; on xfs, the free blocks its free-space trees list beyond
//     those statfs counts), and the least the device discards at once where
//     that is more than a block.

#include "internal.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/fsmap.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

constexpr long Ext4Magic = 0xEF53;  // ext2 and ext3 too
constexpr long XfsMagic = 0x58465342;

// The blocks to a cluster of the ext4 device Name, as its superblock, 1024
// bytes into the device, gives them (little-endian): the magic number, the
// log2 of the block and cluster sizes in KiB, and the read-only-compatible
// features, of which 0x200 is bigalloc. False where it cannot be read, as an
// ordinary user cannot read the device.
static bool SuperblockBlocksPerCluster(const char* Name, std::uint64_t& PerCluster)
{
    char Path[PATH_MAX + 8];
    unsigned char Super[1024];
    std::snprintf(Path, sizeof Path, "/dev/%s", Name);
    const int Fd = open(Path, O_RDONLY | O_CLOEXEC);
    const bool Read = Fd >= 0 && pread(Fd, Super, sizeof Super, 1024) == static_cast<ssize_t>(sizeof Super);
    if (Fd >= 0)
        close(Fd);
    const auto Field = [&Super](int Offset) {
        return static_cast<std::uint32_t>(Super[Offset] | Super[Offset + 1] << 8 | Super[Offset + 2] << 16 |
                                          static_cast<std::uint32_t>(Super[Offset + 3]) << 24);
    };
    if (!Read || (Field(0x38) & 0xFFFF) != Ext4Magic)
        return false;
    const std::uint32_t LogBlock = Field(0x18);
    const std::uint32_t LogCluster = (Field(0x64) & 0x200) != 0 ? Field(0x1C) : LogBlock;
    if (LogCluster < LogBlock || LogCluster - LogBlock > 30)
        return false;
    PerCluster = std::uint64_t{1} << (LogCluster - LogBlock);
    return true;
}

// The cluster of the ext4 volume the fill's file is on, in bytes, as the file
// showed it to MeasureCluster, and that volume; 0 until then.
static std::uint64_t MeasuredCluster = 0;
static dev_t MeasuredVolume = 0;

void MeasureCluster(int Fd)
{
    // What a byte written just past the file's allocation adds to it is one
    // cluster: ext4 counts a cluster's blocks in the allocation as soon as
    // the byte is written, delayed or not. The allocation of a first byte
    // alone can count more, an extended-attribute block (a default ACL on a
    // drive of 128-byte inodes), or nothing, where the byte fits in the
    // inode; written at the end of the first block, it does not fit there.
    // The bytes go again at once, and the file is empty as it was made;
    // where it cannot be, the fill, which writes from the start, goes over
    // them.
    struct statfs Volume;
    struct stat First, Second;
    if (fstatfs(Fd, &Volume) != 0 || Volume.f_type != Ext4Magic || Volume.f_bsize <= 0 ||
        pwrite(Fd, "", 1, Volume.f_bsize - 1) != 1 || fstat(Fd, &First) != 0)
        return;
    const off_t Past = std::max<off_t>(static_cast<off_t>(First.st_blocks) * 512, Volume.f_bsize);
    if (pwrite(Fd, "", 1, Past) == 1 && fstat(Fd, &Second) == 0 && Second.st_blocks > First.st_blocks) {
        MeasuredCluster = static_cast<std::uint64_t>(Second.st_blocks - First.st_blocks) * 512;
        MeasuredVolume = Second.st_dev;
    }
    if (ftruncate(Fd, 0) != 0)
        return;
}

// The name of the block device of Root's volume, as sysfs and /dev name it.
static bool DeviceName(const struct stat& Root, char (&Name)[NAME_MAX + 1])
{
    char Target[PATH_MAX];
    char Path[64];
    std::snprintf(Path, sizeof Path, "/sys/dev/block/%u:%u", major(Root.st_dev), minor(Root.st_dev));
    const ssize_t Length = readlink(Path, Target, sizeof Target - 1);
    if (Length <= 0)
        return false;
    Target[Length] = '\0';
    const char* Slash = std::strrchr(Target, '/');
    const char* Last = Slash != nullptr ? Slash + 1 : Target;
    if (std::strlen(Last) >= sizeof Name)
        return false;
    std::strcpy(Name, Last);
    return true;
}

// The blocks of ext4's reserved cluster pool on the volume whose root is Root
// and whose device is Name: the clusters sysfs counts in it, times the blocks
// to a cluster, which only a file system made with bigalloc has more than one
// of. They come from the superblock, which root can read, or else from the
// fill's file, once it is made. Until then, for an ordinary user, a cluster
// is taken for one block: the pool at its smallest, so that free space left
// by the fill is never hidden. False where sysfs has no count.
static bool Ext4PoolBlocks(const struct stat& Root, const char* Name, std::uint64_t BlockSize,
                           std::uint64_t& Blocks)
{
    char Path[PATH_MAX];
    unsigned long long Clusters = 0;
    std::snprintf(Path, sizeof Path, "/sys/fs/ext4/%s/reserved_clusters", Name);
    std::FILE* Pool = std::fopen(Path, "re");
    const bool Counted = Pool != nullptr && std::fscanf(Pool, "%llu", &Clusters) == 1;
    if (Pool != nullptr)
        std::fclose(Pool);
    if (!Counted || BlockSize == 0)
        return false;

    std::uint64_t PerCluster = 1;
    if (!SuperblockBlocksPerCluster(Name, PerCluster) && MeasuredVolume == Root.st_dev && MeasuredCluster > BlockSize)
        PerCluster = MeasuredCluster / BlockSize;
    Blocks = BlockBytes(Clusters, PerCluster);
    return true;
}

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

// Whether the kernel gives this process the blocks ext2/3/4 reserve on the
// device Name: it gives them to the reserve's owner, the user resuid (root
// unless tune2fs -u made it another) or a member of the group resgid when that
// is not root's, and to a process with CAP_SYS_RESOURCE in the initial user
// namespace; so not to a root inside a user namespace of its own. The file
// system's options show the owner as the initial namespace numbers it.
static bool MayUseReserve(const char* Name)
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
    static gid_t Groups[NGROUPS_MAX + 1];
    const int Count = std::max(getgroups(NGROUPS_MAX, Groups), 0);
    Groups[Count] = getegid();
    for (int Index = 0; ReserveGroup != 0 && Index <= Count; ++Index)
        if (OutsideId("/proc/self/gid_map", Groups[Index]) == static_cast<long long>(ReserveGroup))
            return true;
    return false;
}

std::uint64_t BlockBytes(std::uint64_t Blocks, std::uint64_t Size)
{
    return Size != 0 && Blocks > UINT64_MAX / Size ? UINT64_MAX : Blocks * Size;
}

BOOL GetDiskFreeSpaceExA(LPCSTR DirectoryName, PULARGE_INTEGER FreeBytesAvailableToCaller,
                         PULARGE_INTEGER TotalNumberOfBytes, PULARGE_INTEGER TotalNumberOfFreeBytes)
{
    char Directory[7];
    if (DirectoryName != nullptr && !DriveDirectory(DirectoryName, Directory)) {
        errno = ENOENT;
        return FALSE;
    }
    // The drive entered is asked through ".", the very directory that was
    // found to be a volume, rather than by its name again.
    const bool Current = DirectoryName == nullptr || Directory[5] == CurrentDrive;
    const int Fd = open(Current ? "." : Directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0)
        return FALSE;
    struct statfs Volume;
    struct stat Root;
    const bool Known = fstatfs(Fd, &Volume) == 0 && fstat(Fd, &Root) == 0;
    const int Saved = errno;
    close(Fd);
    errno = Saved;
    if (!Known)
        return FALSE;

    // A file system may report any count of blocks (FUSE and network ones
    // report what they like): a count too large for 64 bits of bytes is
    // shown as the largest there is, never wrapped round to a small one.
    const std::uint64_t Unit = Volume.f_frsize != 0 ? Volume.f_frsize : Volume.f_bsize;
    std::uint64_t Available = Volume.f_bavail;
    std::uint64_t TotalFree = Volume.f_bavail;
    std::uint64_t Pool = 0;
    char Name[NAME_MAX + 1];
    if (Volume.f_type == Ext4Magic && DeviceName(Root, Name) && Ext4PoolBlocks(Root, Name, Volume.f_bsize, Pool)) {
        TotalFree = std::max<std::uint64_t>(Volume.f_bfree > Pool ? Volume.f_bfree - Pool : 0, Volume.f_bavail);
        if (MayUseReserve(Name))
            Available = TotalFree;
    }
    if (FreeBytesAvailableToCaller != nullptr)
        FreeBytesAvailableToCaller->QuadPart = BlockBytes(Available, Unit);
    if (TotalNumberOfBytes != nullptr)
        TotalNumberOfBytes->QuadPart = BlockBytes(Volume.f_blocks, Unit);
    if (TotalNumberOfFreeBytes != nullptr)
        TotalNumberOfFreeBytes->QuadPart = BlockBytes(TotalFree, Unit);
    return TRUE;
}

// Asks the file system open as Fd, whose type is Type, to discard all its
// free space. A range that covers a whole xfs allocation group makes the kernel walk the
// group's free extents by length, a batch at a time, and restart each batch
// from the range's start: every free extent that lies before the restart
// point is then passed over as outside the range, and on a drive whose free
// space lies in hundreds of pieces most of them stay as they were. A range
// that leaves out the group's first block, its own header and never free,
// makes it walk the group by block number, which reaches every extent. So
// xfs is asked a group at a time, as its geometry gives the groups; any
// other file system in one request.
static void Trim(int Fd, long Type)
{
    // XFS_IOC_FSGEOMETRY_V1 fills 112 bytes: the block size, the blocks in a
    // group and the count of groups are its first, third and fourth 32-bit
    // fields, the blocks of the data device the 64-bit field at byte 32.
    std::uint32_t Geometry[28];
    static_assert(sizeof Geometry == 112, "the version 1 geometry of xfs");
    if (Type != XfsMagic || ioctl(Fd, _IOR('X', 100, Geometry), Geometry) != 0) {
        struct fstrim_range Whole = {0, UINT64_MAX, 0};
        ioctl(Fd, FITRIM, &Whole);
        return;
    }
    const std::uint64_t BlockSize = Geometry[0], GroupBlocks = Geometry[2], Groups = Geometry[3];
    std::uint64_t DataBlocks;
    std::memcpy(&DataBlocks, reinterpret_cast<const unsigned char*>(Geometry) + 32, sizeof DataBlocks);
    for (std::uint64_t Group = 0; Group < Groups; ++Group) {
        const std::uint64_t First = Group * GroupBlocks;
        const std::uint64_t Blocks = std::min(GroupBlocks, DataBlocks > First ? DataBlocks - First : 0);
        if (Blocks < 2)
            continue;
        struct fstrim_range Range = {(First + 1) * BlockSize, (Blocks - 1) * BlockSize, 0};
        ioctl(Fd, FITRIM, &Range);
    }
}

BOOL TrimFreeSpace()
{
    const int Fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0)
        return FALSE;
    // A deleted file's blocks are not free to discard until the file system
    // commits the delete: ext4, xfs and btrfs hold them until their journal,
    // log or transaction is written.
    syncfs(Fd);
    struct statfs Volume;
    if (fstatfs(Fd, &Volume) == 0)
        Trim(Fd, static_cast<long>(Volume.f_type));
    close(Fd);
    return TRUE;
}

// The bytes of free space that xfs, open as Fd, lists in its free-space
// trees, as FS_IOC_GETFSMAP hands them out a batch of records at a time,
// each batch going on after the last record of the one before; 0 where it
// cannot tell.
static std::uint64_t XfsListedFree(int Fd)
{
    constexpr unsigned Batch = 128;
    alignas(struct fsmap_head) static unsigned char Buffer[sizeof(struct fsmap_head) + Batch * sizeof(struct fsmap)];
    struct fsmap_head* const Head = reinterpret_cast<struct fsmap_head*>(Buffer);
    std::memset(Buffer, 0, sizeof Buffer);
    Head->fmh_count = Batch;
    Head->fmh_keys[1].fmr_device = UINT32_MAX;
    Head->fmh_keys[1].fmr_flags = UINT32_MAX;
    Head->fmh_keys[1].fmr_physical = Head->fmh_keys[1].fmr_owner = Head->fmh_keys[1].fmr_offset = UINT64_MAX;
    std::uint64_t Free = 0;
    while (ioctl(Fd, FS_IOC_GETFSMAP, Head) == 0 && Head->fmh_entries > 0) {
        const struct fsmap& Last = Head->fmh_recs[Head->fmh_entries - 1];
        for (unsigned Index = 0; Index < Head->fmh_entries; ++Index)
            if (Head->fmh_recs[Index].fmr_owner == FMR_OWN_FREE)
                Free += Head->fmh_recs[Index].fmr_length;
        if ((Last.fmr_flags & FMR_OF_LAST) != 0)
            return Free;
        Head->fmh_keys[0] = Last;
    }
    return 0;
}

// The least the device under Root discards at once, from sysfs: a partition
// has its disk's queue.
static std::uint64_t DiscardGranularity(const struct stat& Root)
{
    unsigned long long Bytes = 0;
    for (const char* Queue : {"queue", "../queue"}) {
        char Path[96];
        std::snprintf(Path, sizeof Path, "/sys/dev/block/%u:%u/%s/discard_granularity", major(Root.st_dev),
                      minor(Root.st_dev), Queue);
        if (std::FILE* Value = std::fopen(Path, "re")) {
            const bool Read = std::fscanf(Value, "%llu", &Bytes) == 1;
            std::fclose(Value);
            if (Read)
                break;
        }
    }
    return Bytes;
}

DWORD GetUntrimmedFreeSpace(PULARGE_INTEGER KeptBytes, LPDWORD SmallestDiscard)
{
    KeptBytes->QuadPart = 0;
    *SmallestDiscard = 0;
    const int Fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0)
        return ERROR_NOT_SUPPORTED;
    // The deleted file's blocks are counted as free once the delete is
    // committed; the close emptied the file, so that xfs too has freed them
    // by then rather than in the background.
    syncfs(Fd);
    struct statfs Volume;
    struct stat Root;
    char Name[NAME_MAX + 1];
    std::uint64_t Pool = 0;
    if (fstatfs(Fd, &Volume) == 0 && fstat(Fd, &Root) == 0) {
        if (Volume.f_type == Ext4Magic && DeviceName(Root, Name) && Ext4PoolBlocks(Root, Name, Volume.f_bsize, Pool))
            KeptBytes->QuadPart = BlockBytes(Pool, Volume.f_bsize);
        if (Volume.f_type == XfsMagic) {
            const std::uint64_t Listed = XfsListedFree(Fd), Counted = BlockBytes(Volume.f_bfree, Volume.f_bsize);
            KeptBytes->QuadPart = Listed > Counted ? Listed - Counted : 0;
        }
        const std::uint64_t Granularity = DiscardGranularity(Root);
        if (Granularity > static_cast<std::uint64_t>(Volume.f_bsize))
            *SmallestDiscard = static_cast<DWORD>(std::min<std::uint64_t>(Granularity, UINT32_MAX));
    }
    // A range too short to discard anything: the file system checks who asks
    // and whether the device discards before it looks at the range, and then
    // refuses it, or trims nothing.
    struct fstrim_range Nothing = {0, 0, 0};
    const int Answer = ioctl(Fd, FITRIM, &Nothing) == 0 ? 0 : errno;
    close(Fd);
    if (Answer == 0 || Answer == EINVAL)
        return ERROR_SUCCESS;
    return Answer == EPERM ? ERROR_ACCESS_DENIED : ERROR_NOT_SUPPORTED;
}
