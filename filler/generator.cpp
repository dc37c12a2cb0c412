#include "generator.h"

#include "generator_ways.h"

typedef std::uint32_t (*BlockGenerator)(unsigned char* Bytes, std::size_t Count, std::uint32_t State);

static std::uint32_t GeneratorState = 0;

// The generator as defined, one value at a time: the portable way, and the
// way every vector way's leftovers are made.
static std::uint32_t GeneratePlain(unsigned char* Bytes, std::size_t Count, std::uint32_t State)
{
    for (std::size_t Index = 0; Index < Count; ++Index) {
        State = State * GeneratorMultiplier + GeneratorIncrement;
        Bytes[Index] = static_cast<unsigned char>(State >> 16);
    }
    return State;
}

#if defined(QUORLANE_X86_WAYS)
static const char* const WayNames[] = {"portable", "sse2", "avx2", "avx512"};
static const BlockGenerator Ways[] = {GeneratePlain, GenerateBlocksSse2, GenerateBlocksAvx2,
                                      GenerateBlocksAvx512};

static int SupportedWays()
{
    return ProcessorHasAvx512() ? 4 : ProcessorHasAvx2() ? 3 : 2;
}
#else
static const char* const WayNames[] = {"portable"};
static const BlockGenerator Ways[] = {GeneratePlain};

static int SupportedWays()
{
    return 1;
}
#endif

static BlockGenerator GenerateBlocks = nullptr;

const char* GeneratorWayName(int Index)
{
    return Index >= 0 && Index < SupportedWays() ? WayNames[Index] : nullptr;
}

bool SelectGeneratorWay(int Index)
{
    if (GeneratorWayName(Index) == nullptr)
        return false;
    GenerateBlocks = Ways[Index];
    return true;
}

void SeedGenerator(std::uint32_t State)
{
    GeneratorState = State;
}

void GenerateFillBytes(unsigned char* Bytes, std::size_t Count)
{
    if (GenerateBlocks == nullptr)
        SelectGeneratorWay(SupportedWays() - 1);
    const std::size_t Whole = Count - Count % WayBlockBytes;
    const std::uint32_t State = GenerateBlocks(Bytes, Whole, GeneratorState);
    GeneratorState = GeneratePlain(Bytes + Whole, Count - Whole, State);
}
