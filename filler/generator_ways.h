// The vectorised ways of generating fill bytes, for the dispatch in
// generator.cpp. Each makes the Count bytes that follow State, where Count is
// a multiple of WayBlockBytes, and returns the state after the last of them.
//
// They all rest on the jump-ahead of the generator: k steps from s lead to
// JumpMultiplier(k) * s + JumpIncrement(k), so a vector of states that are
// k apart can all be advanced by k in one multiply and one add.
#pragma once

#include "generator.h"

constexpr std::size_t WayBlockBytes = 256;

// The state Steps steps after State, in O(log Steps): the map s -> a s + c
// applied twice is s -> a^2 s + (a c + c).
constexpr std::uint32_t JumpState(std::uint32_t State, std::uint64_t Steps)
{
    std::uint32_t Multiplier = GeneratorMultiplier;
    std::uint32_t Increment = GeneratorIncrement;
    for (; Steps != 0; Steps >>= 1) {
        if ((Steps & 1) != 0)
            State = Multiplier * State + Increment;
        Increment = Multiplier * Increment + Increment;
        Multiplier *= Multiplier;
    }
    return State;
}

constexpr std::uint32_t JumpIncrement(std::uint64_t Steps)
{
    return JumpState(0, Steps);
}

constexpr std::uint32_t JumpMultiplier(std::uint64_t Steps)
{
    return JumpState(1, Steps) - JumpIncrement(Steps);
}

static_assert(JumpState(1, 1) == 1 * 214013u + 2531011u, "one jump is one step");
static_assert(JumpState(7, 3) == ((7 * 214013u + 2531011u) * 214013u + 2531011u) * 214013u + 2531011u,
              "three jumps are three steps");
static_assert(JumpMultiplier(1u << 24) % (1u << 24) == 1 && JumpIncrement(1u << 24) % (1u << 24) == 0,
              "the low 24 bits of the state, and so the bytes, repeat after 2^24 steps");

#if defined(__x86_64__) || defined(__i386__)
#define QUORLANE_X86_WAYS 1
bool ProcessorHasAvx2();
bool ProcessorHasAvx512();
std::uint32_t GenerateBlocksSse2(unsigned char* Bytes, std::size_t Count, std::uint32_t State);
std::uint32_t GenerateBlocksAvx2(unsigned char* Bytes, std::size_t Count, std::uint32_t State);
std::uint32_t GenerateBlocksAvx512(unsigned char* Bytes, std::size_t Count, std::uint32_t State);
#endif
