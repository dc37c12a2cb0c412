#include "meter.h"

#include "filler.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

static std::uint64_t DrawnPosition = 0;
static std::uint64_t TitledAt = 0;

std::uint64_t MeterPosition(std::uint64_t Written, std::uint64_t Free)
{
    if (Free == 0)
        return 0;
    const double Position = static_cast<double>(Written) / static_cast<double>(Free) * MeterWidth;
    // Keeps the conversion defined however far past the end a drive lets the
    // fill go; no real bar gets anywhere near this.
    constexpr double Limit = 9007199254740992.0;  // 2^53
    return Position < Limit ? static_cast<std::uint64_t>(Position) : static_cast<std::uint64_t>(Limit);
}

void FormatBytes(std::uint64_t Bytes, char (&Text)[24])
{
    static const char* const Units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (Bytes < 1024) {
        std::snprintf(Text, sizeof Text, "%" PRIu64 " %s", Bytes, Bytes == 1 ? "byte" : "bytes");
        return;
    }
    double Value = static_cast<double>(Bytes) / 1024;
    std::size_t Unit = 0;
    // Rounded as printed, so that 1023.96 KiB reads 1.0 MiB, not 1024.0 KiB.
    for (; Value >= 1023.95 && Unit + 1 < sizeof Units / sizeof Units[0]; ++Unit)
        Value /= 1024;
    std::snprintf(Text, sizeof Text, "%.1f %s", Value, Units[Unit]);
}

void PrintBytes(std::uint64_t Bytes)
{
    char Human[24];
    FormatBytes(Bytes, Human);
    if (Bytes < 1024)
        std::printf("%s", Human);
    else
        std::printf("%" PRIu64 " bytes (%s)", Bytes, Human);
}

void FormatDuration(std::uint64_t Milliseconds, char (&Text)[32])
{
    const std::uint64_t Seconds = Milliseconds / 1000 + (Milliseconds % 1000 >= 500 ? 1 : 0);
    if (Milliseconds < 9950)
        std::snprintf(Text, sizeof Text, "%.1f s", static_cast<double>(Milliseconds) / 1000);
    else if (Seconds < 60)
        std::snprintf(Text, sizeof Text, "%" PRIu64 " s", Seconds);
    else if (Seconds < 3600)
        std::snprintf(Text, sizeof Text, "%" PRIu64 " min %02" PRIu64 " s", Seconds / 60, Seconds % 60);
    else
        std::snprintf(Text, sizeof Text, "%" PRIu64 " h %02" PRIu64 " min", Seconds / 3600, Seconds / 60 % 60);
}

void FormatProgressTitle(std::uint64_t Written, std::uint64_t Free, std::uint64_t Elapsed, char (&Title)[96])
{
    const double Share = Free == 0 ? 1 : static_cast<double>(Written) / static_cast<double>(Free);
    const auto Percent = static_cast<unsigned>(std::min(Share, 1.0) * 100);
    const int Length = std::snprintf(Title, sizeof Title, "Quorlane: %u%%", Percent);
    if (Elapsed < 1000 || Written == 0 || Length < 0)
        return;
    // A figure past 64 bits (an absurd drive) is shown as the largest there
    // is, since converting it would be undefined.
    const auto Whole = [](double Value) {
        return Value < 18446744073709549568.0 ? static_cast<std::uint64_t>(Value) : UINT64_MAX;
    };
    char Rate[24], Left[32];
    const double PerSecond = static_cast<double>(Written) * 1000 / static_cast<double>(Elapsed);
    FormatBytes(Whole(PerSecond), Rate);
    const std::uint64_t Remaining = Free > Written ? Free - Written : 0;
    FormatDuration(Whole(static_cast<double>(Remaining) / PerSecond * 1000), Left);
    std::snprintf(Title + Length, sizeof Title - static_cast<std::size_t>(Length), " at %s/s, %s left", Rate, Left);
}

void AdvanceMeter(HANDLE Console, std::uint64_t Started)
{
    // A drive may take more than it reported free (an overlay that counted
    // its layer's figures for another user): the bar still ends at its width.
    const std::uint64_t Position =
        std::min(MeterPosition(BytesWrittenTotal, FreeByteCount), static_cast<std::uint64_t>(MeterWidth));
    for (std::uint64_t Mark = DrawnPosition; Mark < Position; ++Mark) {
        DWORD Written;
        WriteConsoleA(Console, "#", 1, &Written, nullptr);
    }
    DrawnPosition = Position;

    const std::uint64_t Now = GetTickCount64();
    if (Now - TitledAt < 1000)
        return;
    TitledAt = Now;
    char Title[96];
    FormatProgressTitle(BytesWrittenTotal, FreeByteCount, Now - Started, Title);
    SetConsoleTitleA(Title);
}
