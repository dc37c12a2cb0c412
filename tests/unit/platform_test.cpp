// The POSIX backend's write-behind on real file systems. Dropping the written
// windows from the page cache must lose nothing, least of all on tmpfs, where
// the cache is the only copy: just before its close, the file must hold
// exactly the generator's bytes that were written to it.
#include "generator.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <string>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr DWORD Chunk = 65536;
constexpr int Chunks = 6 * 128 + 7;  // six 8 MiB windows and part of a seventh

TEST(WriteBehind, TheFileHoldsEveryByteWrittenUntilItsClose)
{
    struct statfs Shm;
    const bool ShmIsTmpfs = statfs("/dev/shm", &Shm) == 0 && Shm.f_type == TMPFS_MAGIC;
    // tmpfs, and the disk that holds the build tree.
    for (const char* Shown : {"/dev/shm", "."}) {
        const std::string Parent = Shown;
        if (Parent == "/dev/shm" && !ShmIsTmpfs) {
            std::printf("skipped on /dev/shm: it is not a tmpfs here\n");
            continue;
        }
        std::string Directory = Parent + "/quorlane-test-XXXXXX";
        ASSERT_NE(mkdtemp(&Directory[0]), nullptr);
        const int Home = open(".", O_RDONLY | O_DIRECTORY);
        ASSERT_EQ(chdir(Directory.c_str()), 0);

        const HANDLE File = CreateFileA("QUORLANE.TMP", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(File, INVALID_HANDLE_VALUE) << Parent;
        static unsigned char Written[Chunk], Read[Chunk];
        SeedGenerator(20261208);
        for (int Index = 0; Index < Chunks; ++Index) {
            GenerateFillBytes(Written, Chunk);
            DWORD Count = 0;
            ASSERT_TRUE(WriteFile(File, Written, Chunk, &Count, nullptr)) << Parent << ", chunk " << Index;
            ASSERT_EQ(Count, Chunk);
        }

        // The file has no name any more; read it through its descriptor.
        const std::string Name = "/proc/self/fd/" + std::to_string(reinterpret_cast<std::intptr_t>(File));
        const int Reader = open(Name.c_str(), O_RDONLY);
        ASSERT_GE(Reader, 0);
        SeedGenerator(20261208);
        int Differing = 0;
        for (int Index = 0; Index < Chunks; ++Index) {
            GenerateFillBytes(Written, Chunk);
            const bool Whole = pread(Reader, Read, Chunk, static_cast<off_t>(Index) * Chunk) == Chunk;
            Differing += !Whole || std::memcmp(Read, Written, Chunk) != 0;
        }
        close(Reader);
        EXPECT_EQ(Differing, 0) << "chunks lost or changed on " << Parent;
        EXPECT_TRUE(FlushFileBuffers(File)) << Parent;
        EXPECT_TRUE(CloseHandle(File)) << Parent;
        EXPECT_NE(access("QUORLANE.TMP", F_OK), 0) << Parent;

        ASSERT_EQ(fchdir(Home), 0);
        close(Home);
        EXPECT_EQ(rmdir(Directory.c_str()), 0) << "something was left in " << Directory;
    }
}

}  // namespace
