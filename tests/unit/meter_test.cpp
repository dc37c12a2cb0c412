#include "meter.h"

#include <gtest/gtest.h>

#include <cstdint>

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

}  // namespace
