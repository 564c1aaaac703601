// What the public PowerCycleDetector (and so a flat detector handle) holds:
// the detector of src/cycles itself.
#pragma once

#include "cycles/CycleDetector.h"
#include "powergpu.hpp"

class PowerCycleDetector::PowerCycleDetectorImpl : public powergpu::cycles::CycleDetector {
public:
    using CycleDetector::CycleDetector;
};
