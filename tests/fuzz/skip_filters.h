// Call kinds the fuzzer can be told to leave out, so that a known fault that
// every run finds at once does not hide the faults behind it.
//
// POWERGPU_FUZZ_SKIP is a comma-separated list of filter names; unset, the
// fuzzer leaves nothing out. A filter is a temporary aid for exploring past
// a fault that is not fixed yet, never a way to make a run pass.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace powergpu::fuzz {

enum class Filter : unsigned {
    // No write, skip, schedule, reset or period call while a bracket is open
    // or the counter is below zero.
    OpenBracket = 1u << 0,
    // No value that makes a rebuild fail, no buffer use after one did, and
    // no check that its message names the backend that failed.
    FailedRebuild = 1u << 1,
    // Cycle frequencies only below half the sample rate.
    PeriodHighFrequency = 1u << 2,
    // Waveform getters asked only for channels 0..2, and not checked for
    // rejecting channels the grid lacks.
    WaveformChannel = 1u << 3,
    // Cycles neither start far ahead of the samples written nor span more
    // than a ring.
    PeriodLongSpan = 1u << 4,
};

inline unsigned& activeFilters() {
    static unsigned filters = 0;
    return filters;
}

inline bool skipped(Filter filter) {
    return (activeFilters() & static_cast<unsigned>(filter)) != 0;
}

inline void readFilters() {
    static const struct {
        const char* name;
        Filter filter;
    } kNames[] = {{"open-bracket", Filter::OpenBracket},
                  {"failed-rebuild", Filter::FailedRebuild},
                  {"period-high-frequency", Filter::PeriodHighFrequency},
                  {"waveform-channel", Filter::WaveformChannel},
                  {"period-long-span", Filter::PeriodLongSpan}};
    const char* list = std::getenv("POWERGPU_FUZZ_SKIP");
    if (list == nullptr) {
        return;
    }
    for (const auto& entry : kNames) {
        if (std::strstr(list, entry.name) != nullptr) {
            activeFilters() |= static_cast<unsigned>(entry.filter);
            std::fprintf(stderr, "powergpu fuzz: leaving out %s\n", entry.name);
        }
    }
}

}  // namespace powergpu::fuzz
