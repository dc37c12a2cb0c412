// The progress meter: a bar of 80 '#' marks that stands for FreeByteCount,
// and, in the console's title, the share done, the rate and the time left.
// Also the way sizes and times are put to the user.
#pragma once

#include "platform.h"

#include <cstdint>

constexpr double MeterWidth = 80.0;

// The number of marks that stand for Written bytes out of Free: the quotient
// times the width, truncated. Zero when Free is zero. Past the width where a
// drive accepts more than it first reported free; the bar stops at the width.
std::uint64_t MeterPosition(std::uint64_t Written, std::uint64_t Free);

// Draws the marks that BytesWrittenTotal has earned since the last call, up
// to the width, each as its own raw console write to Console; and, at most once a
// second, puts the progress in the console's title, counting the time from
// Started (a tick count in milliseconds). Called at the top of every fill
// pass.
void AdvanceMeter(HANDLE Console, std::uint64_t Started);

// Bytes in binary units with one decimal ("25.6 MiB"), and whole bytes below
// one KiB ("512 bytes"), into Text.
void FormatBytes(std::uint64_t Bytes, char (&Text)[24]);

// A span of Milliseconds as a person reads it: "0.4 s", "12 s", "2 min 05 s",
// "3 h 07 min", into Text.
void FormatDuration(std::uint64_t Milliseconds, char (&Text)[32]);

// The title shown while the fill runs: the share of Free that Written is,
// the rate over Elapsed milliseconds and the time left at that rate, once
// there is a rate to tell.
void FormatProgressTitle(std::uint64_t Written, std::uint64_t Free, std::uint64_t Elapsed, char (&Title)[96]);
