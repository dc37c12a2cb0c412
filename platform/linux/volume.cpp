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
//     (FITRIM), and xfs a group at a time: the drive drops the fill, and with it what was left in the
//     free blocks no file could be given. Only root may ask, and only a
//     device that discards (an SSD, a loop device on an image, a thin volume)
//     answers; elsewhere the request is refused, and nothing else changes.

#include "internal.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

constexpr long Ext4Magic = 0xEF53;  // ext2 and ext3 too

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
    // One byte takes a whole cluster: ext4 counts a cluster's blocks in the
    // file's allocation as soon as the byte is written, delayed or not. The
    // byte goes again at once, and the file is empty as it was made; where
    // it cannot, the fill's first write, at the same offset, overwrites it.
    struct statfs Volume;
    struct stat File;
    if (fstatfs(Fd, &Volume) != 0 || Volume.f_type != Ext4Magic || pwrite(Fd, "", 1, 0) != 1)
        return;
    if (fstat(Fd, &File) == 0 && File.st_blocks > 0) {
        MeasuredCluster = static_cast<std::uint64_t>(File.st_blocks) * 512;
        MeasuredVolume = File.st_dev;
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
    if (OutsideId("/proc/self/uid_map", geteuid()) == static_cast<long long>(ReserveUser))
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

// Asks the file system open as Fd to discard the free space in Range. A
// range that covers a whole xfs allocation group makes the kernel walk the
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
    constexpr long XfsMagic = 0x58465342;
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

void TrimFreeSpace(const char* Directory)
{
    const int Fd = open(Directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0)
        return;
    // A deleted file's blocks are not free to discard until the file system
    // commits the delete: xfs frees them in the background, and ext4 and
    // btrfs hold them until their journal or transaction is written.
    syncfs(Fd);
    struct statfs Volume;
    if (fstatfs(Fd, &Volume) == 0)
        Trim(Fd, static_cast<long>(Volume.f_type));
    close(Fd);
}
