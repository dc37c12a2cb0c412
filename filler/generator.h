// The fill data generator: a 32-bit linear congruential generator, the one
// the C run-time of Windows uses for rand(). Each step sets
//     s = s * 214013 + 2531011 (mod 2^32)
// and yields bits 16 to 30 of s; each fill byte is the low 8 bits of one
// value, that is bits 16 to 23 of s.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::uint32_t GeneratorMultiplier = 214013;
constexpr std::uint32_t GeneratorIncrement = 2531011;

// The bytes repeat every 2^24: they depend only on the low 24 bits of s, and
// s taken modulo 2^24 runs through all its values before it repeats, since
// the increment is odd and the multiplier is 1 modulo 4.
constexpr std::size_t GeneratorPeriod = std::size_t{1} << 24;
static_assert(GeneratorIncrement % 2 == 1 && GeneratorMultiplier % 4 == 1,
              "the state modulo 2^24 has full period");

// Starts the sequence afresh from State.
void SeedGenerator(std::uint32_t State);

// Writes the next Count bytes of the sequence to Bytes, first to last, and
// carries the state on so that the next call continues where this one ended.
void GenerateFillBytes(unsigned char* Bytes, std::size_t Count);
