// The fill data generator: a 32-bit linear congruential generator, the one
// the C run-time of Windows uses for rand(). Each step sets
//     s = s * 214013 + 2531011 (mod 2^32)
// and yields bits 16 to 30 of s; each fill byte is the low 8 bits of one
// value, that is bits 16 to 23 of s. Those bits depend only on the low 24 bits
// of s, so the byte stream repeats every 2^24 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::uint32_t GeneratorMultiplier = 214013;
constexpr std::uint32_t GeneratorIncrement = 2531011;

// Starts the sequence afresh from State.
void SeedGenerator(std::uint32_t State);

// Writes the next Count bytes of the sequence to Bytes, first to last, and
// carries the state on so that the next call continues where this one ended.
// Uses the fastest way this processor offers; every way gives the same bytes.
void GenerateFillBytes(unsigned char* Bytes, std::size_t Count);

// The ways of generating this processor supports, numbered from 0 (the
// portable one) up; the name of way Index, or nullptr past the last.
// Selecting one makes GenerateFillBytes use it; for tests and benchmarks.
const char* GeneratorWayName(int Index);
bool SelectGeneratorWay(int Index);
