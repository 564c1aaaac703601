// The state that period scheduling and retrieval both require: period
// values enabled, and a reset made since they were.
#pragma once

#include <string>

#include "module/PowerConfig.h"
#include "powergpu.hpp"

namespace powergpu {

// Throws PowerInvalidCall naming `operation` unless period values can be used.
inline void requirePeriodValuesReady(const char* operation, const PowerConfig& config, bool reset,
                                     bool windowChainExists) {
    const auto reject = [operation](const char* reason) {
        throw PowerInvalidCall(std::string(operation) + ": " + reason);
    };
    if (!config.areAnyPeriodValuesEnabled()) {
        reject(
            "period values are disabled; enable period values, fundamental period values or period "
            "symmetrical components first");
    }
    if (!reset) {
        reject("called before reset; call reset(firstSampleIndex) first");
    }
    if (!windowChainExists) {
        reject("period values were enabled after the last reset; call reset again");
    }
}

}  // namespace powergpu
