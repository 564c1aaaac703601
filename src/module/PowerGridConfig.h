// Grid configurations: how many phases a connection has, which voltage and
// current channels the caller supplies, and which ones the library derives.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "powergpu.h"

namespace powergpu {

struct PowerGridConfig {
    PowerGridConfigType type = SinglePhase;
    uint8_t phasesCount = 1;
    uint8_t voltagesCount = 1;
    uint8_t currentsCount = 1;
    uint8_t lineToLineCount = 0;
    bool isStar = true;
    bool isDelta = false;
    bool notDelta = true;
    bool fewerVoltagesThanPhases = false;
    bool fewerCurrentsThanPhases = false;

    PowerGridConfig() = default;
    PowerGridConfig(PowerGridConfigType type, uint8_t phasesCount, uint8_t voltagesCount, uint8_t currentsCount,
                    bool isDelta);
};

struct PowerGridConfigTypeHash {
    std::size_t operator()(PowerGridConfigType type) const noexcept { return static_cast<std::size_t>(type); }
};

using PowerGridConfigTable = std::unordered_map<PowerGridConfigType, PowerGridConfig, PowerGridConfigTypeHash>;

// The eight known configurations, built when the library is loaded and
// never modified afterwards, so lookups from any thread are safe.
extern "C" POWERGPU_API const PowerGridConfigTable powerGridConfigs;

// The record of a type; an unknown type yields the default single-phase
// star record (type field 0) without touching the table.
PowerGridConfig lookupGridConfig(PowerGridConfigType type);

}  // namespace powergpu
