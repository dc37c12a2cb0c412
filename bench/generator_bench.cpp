// Measures how fast each way of generating fill bytes makes 64 KiB chunks,
// beside memset of the same buffer, on one core. Rounds are interleaved and
// repeated, and the median of each is printed as a table row:
//     way  GB/s  ratio-to-memset
#include "generator.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t ChunkBytes = 65536;
constexpr int Rounds = 7;
alignas(64) unsigned char Buffer[ChunkBytes];

// Gigabytes a second that Work sustains over about a fifth of a second.
template <typename Work>
double Throughput(Work&& DoChunk)
{
    using Clock = std::chrono::steady_clock;
    std::size_t Chunks = 0;
    const auto Start = Clock::now();
    std::chrono::duration<double> Elapsed{};
    do {
        for (int Repeat = 0; Repeat < 64; ++Repeat)
            DoChunk();
        Chunks += 64;
        Elapsed = Clock::now() - Start;
    } while (Elapsed.count() < 0.2);
    return static_cast<double>(Chunks * ChunkBytes) / Elapsed.count() / 1e9;
}

double Median(std::vector<double> Values)
{
    std::sort(Values.begin(), Values.end());
    return Values[Values.size() / 2];
}

}  // namespace

int main()
{
    int Ways = 0;
    while (GeneratorWayName(Ways) != nullptr)
        ++Ways;
    std::vector<std::vector<double>> Samples(Ways + 1);
    unsigned char Fill = 0;
    for (int Round = 0; Round < Rounds; ++Round) {
        Samples[Ways].push_back(Throughput([&] {
            std::memset(Buffer, ++Fill, sizeof Buffer);
            asm volatile("" : : "r"(Buffer) : "memory");
        }));
        for (int Way = 0; Way < Ways; ++Way) {
            SelectGeneratorWay(Way);
            SeedGenerator(static_cast<std::uint32_t>(Round));
            Samples[Way].push_back(Throughput([] {
                GenerateFillBytes(Buffer, sizeof Buffer);
                asm volatile("" : : "r"(Buffer) : "memory");
            }));
        }
    }
    const double Memset = Median(Samples[Ways]);
    std::printf("%-10s %8s %10s\n", "source", "GB/s", "x memset");
    std::printf("%-10s %8.2f %10.2f\n", "memset", Memset, 1.0);
    for (int Way = 0; Way < Ways; ++Way)
        std::printf("%-10s %8.2f %10.2f\n", GeneratorWayName(Way), Median(Samples[Way]),
                    Median(Samples[Way]) / Memset);
    return 0;
}
