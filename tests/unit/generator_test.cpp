#include "generator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

// The generator as defined, one value at a time: what every faster form must match.
std::vector<unsigned char> Reference(std::uint32_t State, std::size_t Count)
{
    std::vector<unsigned char> Bytes(Count);
    for (auto& Byte : Bytes) {
        State = State * 214013u + 2531011u;
        Byte = static_cast<unsigned char>((State >> 16) & 0x7FFF);
    }
    return Bytes;
}

std::vector<unsigned char> Generated(std::uint32_t State, const std::vector<std::size_t>& Pieces)
{
    std::size_t Total = 0;
    for (std::size_t Piece : Pieces)
        Total += Piece;
    std::vector<unsigned char> Bytes(Total + 1, 0xA5);
    SeedGenerator(State);
    std::size_t Offset = 0;
    for (std::size_t Piece : Pieces) {
        GenerateFillBytes(Bytes.data() + Offset, Piece);
        Offset += Piece;
    }
    EXPECT_EQ(Bytes[Total], 0xA5) << "wrote past the end";
    Bytes.pop_back();
    return Bytes;
}

TEST(Generator, MatchesTheRunTimesRandSequence)
{
    // rand() after srand(1) in the Windows C run-time: 41, 18467, 6334, 26500,
    // 19169, 15724, 11478, 29358, 26962, 24464; the fill bytes are their low 8 bits.
    const std::vector<unsigned char> Expected = {0x29, 0x23, 0xBE, 0x84, 0xE1,
                                                 0x6C, 0xD6, 0xAE, 0x52, 0x90};
    EXPECT_EQ(Generated(1, {Expected.size()}), Expected);
}

TEST(Generator, EveryWayCarriesTheStateAcrossCallsForAnySeed)
{
    const std::uint32_t States[] = {0u, 1u, 2u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu,
                                    1733616000u /* a recent clock */, 0xDEADBEEFu};
    const std::vector<std::vector<std::size_t>> Splits = {
        {65536, 65536, 65536, 65536},          // whole chunks, as the fill loop asks
        {1, 2, 3, 61, 64, 65, 127, 4099, 65535}, // pieces that start and end anywhere
        {0, 262144, 0},                       // one long run, and empty requests
        {255, 256, 257, 65536, 511, 65536},   // chunks that start off a block boundary
    };
    int Ways = 0;
    for (; GeneratorWayName(Ways) != nullptr; ++Ways) {
        ASSERT_TRUE(SelectGeneratorWay(Ways));
        for (std::uint32_t State : States) {
            for (const auto& Split : Splits) {
                std::size_t Total = 0;
                for (std::size_t Piece : Split)
                    Total += Piece;
                const std::vector<unsigned char> Expected = Reference(State, Total);
                const std::vector<unsigned char> Actual = Generated(State, Split);
                ASSERT_EQ(Actual, Expected) << GeneratorWayName(Ways) << ", state " << State << ", "
                                            << Split.size() << " pieces";
            }
        }
    }
    EXPECT_FALSE(SelectGeneratorWay(Ways));
    SelectGeneratorWay(Ways - 1);
    std::printf("checked %d ways of generating, the last of them %s\n", Ways, GeneratorWayName(Ways - 1));
}

TEST(Generator, StartsAfreshWhenSeededAgain)
{
    EXPECT_EQ(Generated(42, {100}), Generated(42, {100}));
    EXPECT_NE(Generated(42, {100}), Generated(43, {100}));
}

}  // namespace
