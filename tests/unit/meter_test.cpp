#include "meter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

constexpr std::uint64_t Chunk = 65536;

TEST(Meter, PositionIsTheTruncatedShareOfEightyMarks)
{
    struct Case {
        const char* What;
        std::uint64_t Written;
        std::uint64_t Free;
        std::uint64_t Marks;
    };
    const Case Cases[] = {
        {"the first pass draws nothing", 0, 10 * Chunk, 0},
        {"nothing free draws nothing", 0, 0, 0},
        {"nothing free, even after writing", 5 * Chunk, 0, 0},
        {"one chunk of ten", Chunk, 10 * Chunk, 8},
        {"all of ten chunks", 10 * Chunk, 10 * Chunk, 80},
        {"ten chunks and a cluster stop short", 10 * Chunk, 10 * Chunk + 4096, 79},
        {"just under one mark", 1022, 81840, 0},
        {"exactly one mark", 1023, 81840, 1},
        {"more than was free goes past the end", 20 * Chunk, 10 * Chunk, 160},
        {"a large drive", 1ull << 40, 1ull << 41, 40},
        {"the full 64-bit range", UINT64_MAX, UINT64_MAX, 80},
        {"absurd overrun stays defined", UINT64_MAX, 1, 1ull << 53},
    };
    for (const Case& C : Cases)
        EXPECT_EQ(MeterPosition(C.Written, C.Free), C.Marks) << C.What;
}

TEST(Meter, SizesTimesAndTheTitleReadAsAPersonReadsThem)
{
    struct Case {
        std::uint64_t Written, Free, Elapsed;  // bytes, bytes, milliseconds
        const char* Bytes;  // Written, as FormatBytes puts it
        const char* Took;   // Elapsed, as FormatDuration puts it
        const char* Title;
    };
    const Case Cases[] = {
        {0, 10 * Chunk, 0, "0 bytes", "0.0 s", "Quorlane: 0%"},
        {1023, 4096, 999, "1023 bytes", "1.0 s", "Quorlane: 24%"},
        {1024, 4096, 1000, "1.0 KiB", "1.0 s", "Quorlane: 25% at 1.0 KiB/s, 3.0 s left"},
        {(1ull << 20) - 1, 1ull << 21, 9949, "1.0 MiB", "9.9 s", "Quorlane: 49% at 102.9 KiB/s, 9.9 s left"},
        {26841088, 53682176, 59499, "25.6 MiB", "59 s", "Quorlane: 50% at 440.5 KiB/s, 59 s left"},
        {1ull << 30, 1ull << 40, 125000, "1.0 GiB", "2 min 05 s", "Quorlane: 0% at 8.2 MiB/s, 35 h 31 min left"},
        {21990232555520, 21990232555520, 11158000, "20.0 TiB", "3 h 05 min",
         "Quorlane: 100% at 1.8 GiB/s, 0.0 s left"},
        {UINT64_MAX, 1, 1000, "16.0 EiB", "1.0 s", "Quorlane: 100% at 16.0 EiB/s, 0.0 s left"},
        {1, UINT64_MAX, UINT64_MAX, "1 byte", "5124095576030 h 25 min",
         "Quorlane: 0% at 0 bytes/s, 5124095576030 h 25 min left"},
    };
    for (const Case& C : Cases) {
        char Bytes[24], Took[32], Title[96];
        FormatBytes(C.Written, Bytes);
        FormatDuration(C.Elapsed, Took);
        FormatProgressTitle(C.Written, C.Free, C.Elapsed, Title);
        EXPECT_EQ(std::string(Bytes), C.Bytes) << C.Written;
        EXPECT_EQ(std::string(Took), C.Took) << C.Elapsed;
        EXPECT_EQ(std::string(Title), C.Title) << C.Written;
    }
}

}  // namespace
