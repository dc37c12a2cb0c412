// The Linux backend's write-behind on real file systems. Sending the written
// windows to the disk must lose nothing, least of all on tmpfs (/dev/shm),
// where the cache is the only copy: just before its close, the
// file must hold exactly the generator's bytes that were written to it. And
// its byte counts, whatever block counts a file system reports.
#include "generator.h"
#include "internal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

constexpr DWORD Chunk = 65536;
constexpr int Chunks = 6 * 128 + 7;  // six 8 MiB windows and part of a seventh

TEST(WriteBehind, TheFileHoldsEveryByteWrittenUntilItsClose)
{
    for (const char* Parent : {"/dev/shm", "."}) {  // tmpfs, and the build tree's disk
        std::string Directory = std::string(Parent) + "/quorlane-test-XXXXXX";
        ASSERT_NE(mkdtemp(&Directory[0]), nullptr);
        const std::string Name = Directory + "/QUORLANE.TMP";
        const HANDLE File = CreateFileA(Name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(File, INVALID_HANDLE_VALUE) << Parent;
        static unsigned char Written[Chunk], Read[Chunk];
        SeedGenerator(20261208);
        for (int Index = 0; Index < Chunks; ++Index) {
            GenerateFillBytes(Written, Chunk);
            DWORD Count = 0;
            ASSERT_TRUE(WriteFile(File, Written, Chunk, &Count, nullptr) && Count == Chunk) << Parent << ", " << Index;
        }

        // The file has no name any more; read it through its descriptor.
        const int Reader = open(("/proc/self/fd/" + std::to_string(reinterpret_cast<std::intptr_t>(File))).c_str(),
                                O_RDONLY);
        ASSERT_GE(Reader, 0);
        SeedGenerator(20261208);
        int Differing = 0;
        for (int Index = 0; Index < Chunks; ++Index) {
            GenerateFillBytes(Written, Chunk);
            Differing += pread(Reader, Read, Chunk, static_cast<off_t>(Index) * Chunk) != Chunk ||
                         std::memcmp(Read, Written, Chunk) != 0;
        }
        close(Reader);
        EXPECT_EQ(Differing, 0) << "chunks lost or changed on " << Parent;
        EXPECT_TRUE(FlushFileBuffers(File) && CloseHandle(File)) << Parent;
        EXPECT_EQ(rmdir(Directory.c_str()), 0) << "something was left in " << Directory;
    }
}

TEST(FreeSpace, ByteCountsStopAtTheLargestRatherThanWrap)
{
    const std::uint64_t Rows[][3] = {  // blocks, block size, bytes
        {0, 4096, 0},
        {13107, 1024, 13421568},
        {UINT64_MAX / 4096, 4096, UINT64_MAX / 4096 * 4096},
        {std::uint64_t{1} << 52, 4096, UINT64_MAX},
        {UINT64_MAX, 2, UINT64_MAX},
    };
    for (const auto& Row : Rows)
        EXPECT_EQ(BlockBytes(Row[0], Row[1]), Row[2]) << Row[0] << " blocks of " << Row[1];
}

TEST(MountTable, ALineIsReadWithItsEscapesAndCommas)
{
    struct Case {
        const char* Line;
        bool Read;
        const char* Point;
        const char* Type;
        const char* Source;
        const char* Upper;  // nullptr: none
    };
    const Case Cases[] = {
        {"36 35 98:0 / /mnt rw,noatime master:1 - ext4 /dev/sda1 rw,errors=continue\n", true, "/mnt", "ext4",
         "/dev/sda1", nullptr},
        {"40 1 0:33 / /media/my\\040usb\\011x rw - vfat /dev/sdb1 rw\n", true, "/media/my usb\tx", "vfat",
         "/dev/sdb1", nullptr},
        {"41 1 0:40 / /a\\134b rw shared:5 unbindable - fuse.zfs-fuse pool/data rw\n", true, "/a\\b",
         "fuse.zfs-fuse", "pool/data", nullptr},
        {"50 1 0:50 / /merged rw - overlay overlay rw,lowerdir=/l,upperdir=/u\\054v/up,workdir=/w\n", true,
         "/merged", "overlay", "overlay", "/u,v/up"},
        {"51 1 0:51 / /no-dash rw overlay overlay rw\n", false, nullptr, nullptr, nullptr, nullptr},
        {"52 1 0:52 / /no-source rw - tmpfs\n", false, nullptr, nullptr, nullptr, nullptr},
        {"garbage\n", false, nullptr, nullptr, nullptr, nullptr},
    };
    for (const Case& C : Cases) {
        std::string Line = C.Line;
        MountLine Mount = {};
        ASSERT_EQ(ParseMountLine(&Line[0], Mount), C.Read) << C.Line;
        if (!C.Read)
            continue;
        EXPECT_STREQ(Mount.Point, C.Point) << C.Line;
        EXPECT_STREQ(Mount.Type, C.Type) << C.Line;
        EXPECT_STREQ(Mount.Source, C.Source) << C.Line;
        if (C.Upper == nullptr)
            EXPECT_EQ(Mount.Upper, nullptr) << C.Line;
        else
            EXPECT_STREQ(Mount.Upper, C.Upper) << C.Line;
    }
}

// How the move sees a drive's groups, from the drive's size and what xfs
// tells: ext4's groups of as many clusters as a block has bits, after the
// first data block, and xfs's from its geometry; and what of the free space
// the pieces it freed cover.
TEST(Groups, TheMoveSeesEachDrivesGroups)
{
    constexpr std::uint64_t KiB = 1024, MiB = KiB * KiB, GiB = KiB * MiB, TiB = KiB * GiB;
    unsigned char Reply[112] = {};
    const std::uint32_t Fields[4] = {4096, 0, 524288, 4};  // 2 GiB groups of 4 KiB blocks, four of them
    const std::uint64_t DataBlocks = 2097152;
    std::memcpy(Reply, Fields, sizeof Fields);
    std::memcpy(Reply + 32, &DataBlocks, sizeof DataBlocks);
    const XfsGeometry Xfs = ParseXfsGeometry(Reply);
    EXPECT_EQ(Xfs.BlockSize, 4096u);
    EXPECT_EQ(Xfs.GroupBlocks, 524288u);
    EXPECT_EQ(Xfs.Groups, 4u);
    EXPECT_EQ(Xfs.DataBlocks, DataBlocks);

    // ext4's groups from its superblock: blocks (with their high half where
    // 64bit), first data block, log2 block size, blocks per group, features.
    struct Super {
        std::uint32_t Blocks, High, First, LogBlock, PerGroup, Incompatible;
        bool Read;
        GroupLayout Layout;
    } const Supers[] = {{262144, 0, 1, 0, 8192, 0, true, {8 * MiB, 32, 1024}},
                        {0, 1, 0, 2, 32768, 0x80, true, {128 * MiB, 131072, 0}},
                        {1 << 20, 0, 0, 2, 4096, 0, true, {16 * MiB, 256, 0}},
                        {1 << 20, 0, 0, 2, 0, 0, false, {}}};
    for (const Super& S : Supers) {
        unsigned char Block[1024] = {};
        const std::pair<int, std::uint32_t> Fields[] = {{0x04, S.Blocks}, {0x14, S.First}, {0x18, S.LogBlock},
                                                        {0x20, S.PerGroup}, {0x60, S.Incompatible}, {0x150, S.High}};
        for (const auto& [Offset, Value] : Fields)
            for (int Byte = 0; Byte < 4; ++Byte)
                Block[Offset + Byte] = static_cast<unsigned char>(Value >> (8 * Byte));
        GroupLayout Layout = {};
        ASSERT_EQ(SuperblockGroups(Block, Layout), S.Read) << S.PerGroup;
        EXPECT_EQ(Layout.Bytes, S.Layout.Bytes) << S.PerGroup;
        EXPECT_EQ(Layout.Count, S.Layout.Count) << S.PerGroup;
        EXPECT_EQ(Layout.First, S.Layout.First) << S.PerGroup;
    }

    struct Case {
        const char* What;
        long Type;
        std::uint64_t BlockSize, ClusterBytes, DriveBytes;
        const XfsGeometry* Geometry;
        std::uint64_t GroupBytes, Groups;
        std::uint64_t Physical, Remaining, Group, Stretch;  // a byte: its group, and how much lies there
    };
    const Case Cases[] = {
        {"ext4, 4 KiB blocks, 32 GiB", Ext4Magic, 4096, 0, 32 * GiB, nullptr, 128 * MiB, 256, 129 * MiB + 4096, GiB, 1,
         127 * MiB - 4096},
        {"ext4, 1 KiB blocks: groups start at block 1", Ext4Magic, 1024, 1024, 512 * MiB, nullptr, 8 * MiB, 64, 8 * MiB,
         4096, 0, 1024},
        {"ext4, 256 GiB", Ext4Magic, 4096, 4096, 256 * GiB, nullptr, 128 * MiB, 2048, 255 * GiB, MiB, 2040, MiB},
        {"ext4, 4 TiB", Ext4Magic, 4096, 0, 4 * TiB, nullptr, 128 * MiB, 32768, 4 * TiB - 4096, 8192, 32767, 4096},
        {"ext4, 16 TiB", Ext4Magic, 4096, 0, 16 * TiB, nullptr, 128 * MiB, 131072, 16 * TiB - 4096, 8192, 131071,
         4096},
        {"ext4, 64 KiB clusters (bigalloc)", Ext4Magic, 4096, 64 * KiB, 32 * GiB, nullptr, 2 * GiB, 16, 3 * GiB,
         2 * GiB, 1, GiB},
        {"xfs, from its geometry", XfsMagic, 4096, 0, 9 * GiB, &Xfs, 2 * GiB, 4, 5 * GiB, 4 * GiB, 2, GiB},
        {"xfs that does not tell: one group", XfsMagic, 4096, 0, 4 * MiB, nullptr, 4 * MiB, 1, 4096, 8192, 0, 8192},
        {"another file system: one group", 0x9123683E, 4096, 0, MiB, nullptr, MiB, 1, 0, 2 * MiB, 0, MiB},
    };
    for (const Case& C : Cases) {
        const GroupLayout Layout = LayoutGroups(C.Type, C.BlockSize, C.ClusterBytes, C.DriveBytes, C.Geometry);
        EXPECT_EQ(Layout.Bytes, C.GroupBytes) << C.What;
        EXPECT_EQ(Layout.Count, C.Groups) << C.What;
        EXPECT_EQ(GroupOfByte(C.Physical, Layout), C.Group) << C.What;
        EXPECT_EQ(StretchLength(C.Physical, C.Remaining, Layout), C.Stretch) << C.What;
    }

    // What of a free piece the move's freed pieces cover, listed as freed:
    // out of order, touching, one of them freed twice.
    DrivePiece Freed[] = {{131072, 65536}, {8192, 4096}, {65536, 4096}, {4096, 4096}, {135168, 8192}};
    PieceList Listed = {Freed, 5, 5};
    SortPieces(Listed);
    ASSERT_EQ(Listed.Count, 3u);
    // and the pieces it leaves out, which add up to the rest.
    struct Overlap {
        std::uint64_t Start, Length, Bytes;
        std::size_t Gaps;
    } const Overlaps[] = {{0, 4096, 0, 1},      {0, 8192, 4096, 1},      {8192, 65536, 8192, 2},
                          {0, 1 << 20, 77824, 4}, {135168, 4096, 4096, 0}, {196608, 4096, 0, 1}};
    for (const Overlap& O : Overlaps) {
        EXPECT_EQ(OverlapBytes(O.Start, O.Length, Freed, 3), O.Bytes) << O.Start << "+" << O.Length;
        DrivePiece Gaps[8];
        std::size_t Found = 0;
        AddGaps(O.Start, O.Length, Freed, 3, Gaps, 8, Found);
        std::uint64_t Outside = 0;
        for (std::size_t N = 0; N < Found; ++N)
            Outside += Gaps[N].Length;
        EXPECT_EQ(Found, O.Gaps) << O.Start << "+" << O.Length;
        EXPECT_EQ(Outside, O.Length - O.Bytes) << O.Start << "+" << O.Length;
    }
}

}  // namespace
