// Settings of the detector of voltage dips, swells and interruptions.
#pragma once

namespace powergpu {

struct VoltageEventSettings {
    // The voltage the thresholds refer to, V (the one-cycle RMS value of a
    // phase voltage at nominal conditions).
    double declaredVoltage = 230.0;
    double dipThreshold = 90.0;          // percent of the reference
    double swellThreshold = 110.0;       // percent of the reference
    double interruptionThreshold = 5.0;  // percent of the declared voltage
    double hysteresis = 2.0;             // percent of the reference
    bool slidingReference = false;
};

}  // namespace powergpu
