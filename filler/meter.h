// The progress meter: a bar of 80 '#' marks that stands for FreeByteCount.
#pragma once

#include <cstdint>

constexpr double MeterWidth = 80.0;

// The number of marks that stand for Written bytes out of Free: the quotient
// times the width, truncated. Zero when Free is zero. Past the width where a
// drive accepts more than it first reported free; the bar stops at the width.
std::uint64_t MeterPosition(std::uint64_t Written, std::uint64_t Free);

// Draws the marks that BytesWrittenTotal has earned since the last call, up
// to the width, each as its own raw console write. Called at the top of every
// fill pass.
void AdvanceMeter();
