// The x86 vector ways of generating fill bytes: SSE2, which every x86-64 has,
// AVX2 and AVX-512. Each is compiled for its own instruction set and chosen at
// run time, so one binary runs on any x86-64.
//
// Every way keeps a few vectors of states, some steps apart, and advances them
// all at once by the number of bytes one pass makes. A fill byte is byte 2 of
// its 32-bit state; the ways gather those bytes into order with a pack (SSE2)
// or a byte shuffle (AVX2, AVX-512).

#include "generator_ways.h"

#include <immintrin.h>

// The state Offset + 1 steps after State: the state of the byte at Offset.
static std::uint32_t StateOfByte(std::uint32_t State, std::uint32_t Offset)
{
    return JumpState(State, Offset + 1);
}

bool ProcessorHasAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

bool ProcessorHasAvx512()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

// SSE2 has no 32-bit multiply that keeps the low halves: multiply the even and
// the odd lanes into 64 bits and gather the low halves back.
static inline __m128i MultiplyLow(__m128i Values, __m128i Factor)
{
    const __m128i Even = _mm_mul_epu32(Values, Factor);
    const __m128i Odd = _mm_mul_epu32(_mm_srli_epi64(Values, 32), _mm_srli_epi64(Factor, 32));
    return _mm_unpacklo_epi32(_mm_shuffle_epi32(Even, _MM_SHUFFLE(0, 0, 2, 0)),
                              _mm_shuffle_epi32(Odd, _MM_SHUFFLE(0, 0, 2, 0)));
}

// Sixteen vectors of four consecutive states make 64 bytes a pass.
std::uint32_t GenerateBlocksSse2(unsigned char* Bytes, std::size_t Count, std::uint32_t State)
{
    constexpr int Vectors = 16;
    constexpr std::uint32_t Stride = 4 * Vectors;
    alignas(16) std::uint32_t Start[Vectors * 4];
    for (std::uint32_t Offset = 0; Offset < Stride; ++Offset)
        Start[Offset] = StateOfByte(State, Offset);
    __m128i States[Vectors];
    for (int Vector = 0; Vector < Vectors; ++Vector)
        States[Vector] = _mm_load_si128(reinterpret_cast<const __m128i*>(Start + 4 * Vector));

    const __m128i Multiplier = _mm_set1_epi32(static_cast<int>(JumpMultiplier(Stride)));
    const __m128i Increment = _mm_set1_epi32(static_cast<int>(JumpIncrement(Stride)));
    const __m128i LowByte = _mm_set1_epi32(0xFF);
    for (std::size_t Done = 0; Done < Count; Done += Stride) {
        for (int Vector = 0; Vector < Vectors; Vector += 4) {
            __m128i Values[4];
            for (int Part = 0; Part < 4; ++Part)
                Values[Part] = _mm_and_si128(_mm_srli_epi32(States[Vector + Part], 16), LowByte);
            const __m128i Packed = _mm_packus_epi16(_mm_packs_epi32(Values[0], Values[1]),
                                                    _mm_packs_epi32(Values[2], Values[3]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(Bytes + Done + 4 * Vector), Packed);
        }
        for (int Vector = 0; Vector < Vectors; ++Vector)
            States[Vector] = _mm_add_epi32(MultiplyLow(States[Vector], Multiplier), Increment);
    }
    return JumpState(State, Count);
}

// The shuffle that moves byte 2 of each of a lane's four states to bytes
// 4 Part to 4 Part + 3 of that 16-byte lane, and clears the others.
static constexpr char GatherIndex(int Byte, int Part)
{
    return Byte / 4 == Part ? static_cast<char>(4 * (Byte % 4) + 2) : static_cast<char>(-128);
}

#define QUORLANE_GATHER_LANE(Part)                                                                 \
    GatherIndex(0, Part), GatherIndex(1, Part), GatherIndex(2, Part), GatherIndex(3, Part),        \
        GatherIndex(4, Part), GatherIndex(5, Part), GatherIndex(6, Part), GatherIndex(7, Part),    \
        GatherIndex(8, Part), GatherIndex(9, Part), GatherIndex(10, Part), GatherIndex(11, Part),  \
        GatherIndex(12, Part), GatherIndex(13, Part), GatherIndex(14, Part), GatherIndex(15, Part)

// The wide ways lay their states out so that one shuffle per vector and three
// ORs give the bytes in order: in a group of four vectors, dword j of 16-byte
// lane l of vector Part holds the state of byte 16 l + 4 Part + j.
static std::uint32_t WideLayoutOffset(int Lanes, int Group, int Part, int Dword)
{
    const int Lane = Dword / 4;
    return static_cast<std::uint32_t>(Group * 16 * Lanes + 16 * Lane + 4 * Part + Dword % 4);
}

// Four groups of four vectors of eight states make 128 bytes a pass.
__attribute__((target("avx2")))
std::uint32_t GenerateBlocksAvx2(unsigned char* Bytes, std::size_t Count, std::uint32_t State)
{
    constexpr int Groups = 4;
    constexpr int Lanes = 2;
    constexpr std::uint32_t Stride = Groups * 16 * Lanes;
    alignas(32) std::uint32_t Start[Groups][4][8];
    for (int Group = 0; Group < Groups; ++Group)
        for (int Part = 0; Part < 4; ++Part)
            for (int Dword = 0; Dword < 8; ++Dword)
                Start[Group][Part][Dword] = StateOfByte(State, WideLayoutOffset(Lanes, Group, Part, Dword));
    __m256i States[Groups][4];
    for (int Group = 0; Group < Groups; ++Group)
        for (int Part = 0; Part < 4; ++Part)
            States[Group][Part] = _mm256_load_si256(reinterpret_cast<const __m256i*>(Start[Group][Part]));

    const __m256i Gather[4] = {
        _mm256_setr_epi8(QUORLANE_GATHER_LANE(0), QUORLANE_GATHER_LANE(0)),
        _mm256_setr_epi8(QUORLANE_GATHER_LANE(1), QUORLANE_GATHER_LANE(1)),
        _mm256_setr_epi8(QUORLANE_GATHER_LANE(2), QUORLANE_GATHER_LANE(2)),
        _mm256_setr_epi8(QUORLANE_GATHER_LANE(3), QUORLANE_GATHER_LANE(3)),
    };
    const __m256i Multiplier = _mm256_set1_epi32(static_cast<int>(JumpMultiplier(Stride)));
    const __m256i Increment = _mm256_set1_epi32(static_cast<int>(JumpIncrement(Stride)));
    for (std::size_t Done = 0; Done < Count; Done += Stride) {
        for (int Group = 0; Group < Groups; ++Group) {
            __m256i* Vector = States[Group];
            const __m256i Gathered = _mm256_or_si256(
                _mm256_or_si256(_mm256_shuffle_epi8(Vector[0], Gather[0]), _mm256_shuffle_epi8(Vector[1], Gather[1])),
                _mm256_or_si256(_mm256_shuffle_epi8(Vector[2], Gather[2]), _mm256_shuffle_epi8(Vector[3], Gather[3])));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(Bytes + Done + 32 * Group), Gathered);
            for (int Part = 0; Part < 4; ++Part)
                Vector[Part] = _mm256_add_epi32(_mm256_mullo_epi32(Vector[Part], Multiplier), Increment);
        }
    }
    return JumpState(State, Count);
}

// Four groups of four vectors of sixteen states make 256 bytes a pass.
__attribute__((target("avx512f,avx512bw")))
std::uint32_t GenerateBlocksAvx512(unsigned char* Bytes, std::size_t Count, std::uint32_t State)
{
    constexpr int Groups = 4;
    constexpr int Lanes = 4;
    constexpr std::uint32_t Stride = Groups * 16 * Lanes;
    alignas(64) std::uint32_t Start[Groups][4][16];
    for (int Group = 0; Group < Groups; ++Group)
        for (int Part = 0; Part < 4; ++Part)
            for (int Dword = 0; Dword < 16; ++Dword)
                Start[Group][Part][Dword] = StateOfByte(State, WideLayoutOffset(Lanes, Group, Part, Dword));
    __m512i States[Groups][4];
    for (int Group = 0; Group < Groups; ++Group)
        for (int Part = 0; Part < 4; ++Part)
            States[Group][Part] = _mm512_load_si512(Start[Group][Part]);

    alignas(64) static const char GatherIndices[4][64] = {
        {QUORLANE_GATHER_LANE(0), QUORLANE_GATHER_LANE(0), QUORLANE_GATHER_LANE(0), QUORLANE_GATHER_LANE(0)},
        {QUORLANE_GATHER_LANE(1), QUORLANE_GATHER_LANE(1), QUORLANE_GATHER_LANE(1), QUORLANE_GATHER_LANE(1)},
        {QUORLANE_GATHER_LANE(2), QUORLANE_GATHER_LANE(2), QUORLANE_GATHER_LANE(2), QUORLANE_GATHER_LANE(2)},
        {QUORLANE_GATHER_LANE(3), QUORLANE_GATHER_LANE(3), QUORLANE_GATHER_LANE(3), QUORLANE_GATHER_LANE(3)},
    };
    const __m512i Gather[4] = {_mm512_load_si512(GatherIndices[0]), _mm512_load_si512(GatherIndices[1]),
                               _mm512_load_si512(GatherIndices[2]), _mm512_load_si512(GatherIndices[3])};
    const __m512i Multiplier = _mm512_set1_epi32(static_cast<int>(JumpMultiplier(Stride)));
    const __m512i Increment = _mm512_set1_epi32(static_cast<int>(JumpIncrement(Stride)));
    for (std::size_t Done = 0; Done < Count; Done += Stride) {
        for (int Group = 0; Group < Groups; ++Group) {
            __m512i* Vector = States[Group];
            const __m512i Gathered = _mm512_or_si512(
                _mm512_or_si512(_mm512_shuffle_epi8(Vector[0], Gather[0]), _mm512_shuffle_epi8(Vector[1], Gather[1])),
                _mm512_or_si512(_mm512_shuffle_epi8(Vector[2], Gather[2]), _mm512_shuffle_epi8(Vector[3], Gather[3])));
            _mm512_storeu_si512(Bytes + Done + 64 * Group, Gathered);
            for (int Part = 0; Part < 4; ++Part)
                Vector[Part] = _mm512_add_epi32(_mm512_mullo_epi32(Vector[Part], Multiplier), Increment);
        }
    }
    return JumpState(State, Count);
}
