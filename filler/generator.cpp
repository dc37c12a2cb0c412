#include "generator.h"

static std::uint32_t GeneratorState = 0;

void SeedGenerator(std::uint32_t State)
{
    GeneratorState = State;
}

void GenerateFillBytes(unsigned char* Bytes, std::size_t Count)
{
    for (std::size_t Index = 0; Index < Count; ++Index) {
        GeneratorState = GeneratorState * GeneratorMultiplier + GeneratorIncrement;
        Bytes[Index] = static_cast<unsigned char>(GeneratorState >> 16);
    }
}
