#include "meter.h"

#include "filler.h"

#include <algorithm>

static std::uint64_t DrawnPosition = 0;

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

void AdvanceMeter()
{
    // A drive may take more than it reported free (an overlay that counted
    // its layer's figures for another user): the bar still ends at its width.
    const std::uint64_t Position =
        std::min(MeterPosition(BytesWrittenTotal, FreeByteCount), static_cast<std::uint64_t>(MeterWidth));
    for (std::uint64_t Mark = DrawnPosition; Mark < Position; ++Mark) {
        DWORD Written;
        WriteConsoleA(ConsoleOutput, "#", 1, &Written, nullptr);
    }
    DrawnPosition = Position;
}
