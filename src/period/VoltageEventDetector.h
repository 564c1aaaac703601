// Detector of voltage dips, swells and interruptions on the one-cycle RMS
// values refreshed every half cycle, one value per phase at a time.
//
// Dip and swell thresholds are percentages of a reference voltage: the
// declared voltage, or, with the sliding reference, a first-order filter
// (one-minute time constant) of each phase's own values, started at the
// declared voltage and held while any event lasts (so that a long dip does
// not pull its own reference down and end itself). Interruptions are judged
// against the declared voltage always: they are the absence of the supply
// that was declared, whatever the voltage drifted to before.
// Each kind of event is judged on its own, so one disturbance may give more
// than one event (a voltage that collapses passes the dip threshold before
// the interruption threshold, and its dip contains the interruption):
//   dip           starts when any phase falls below the dip threshold, ends
//                 when every phase is back at or above it plus the hysteresis;
//   swell         starts when any phase rises above the swell threshold, ends
//                 when every phase is back at or below it minus the hysteresis;
//   interruption  starts when every phase is below the interruption threshold,
//                 ends when any phase is at or above it plus the hysteresis.
// An event starts at the time of the value that starts it and ends at the
// time of the value that ends it; its extreme is the lowest value of any
// phase (dips, interruptions) or the highest (swells) while it lasts.
// Values that are not finite are ignored: they describe no voltage.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "period/VoltageEventSettings.h"
#include "powergpu.h"

namespace powergpu {

class VoltageEventDetector {
public:
    static constexpr std::size_t kMaxPhases = 3;
    // Finished events kept until they are taken; older ones are dropped
    // beyond this (their numbers show the gap), so that a caller that never
    // takes them cannot make the detector grow without bound.
    static constexpr std::size_t kMaxWaitingEvents = 4096;
    // Time constant of the sliding reference, seconds.
    static constexpr double kSlidingTimeConstant = 60.0;

    // Forgets all values and events; takes the settings for `phases` phases
    // (at most kMaxPhases are watched).
    void reset(const VoltageEventSettings& settings, std::size_t phases);

    // Takes the one-cycle RMS values of all phases at `time` (seconds).
    void add(const double* values, double time);

    // Moves up to maxCount finished events, oldest first, into out; returns
    // how many.
    std::size_t takeFinished(PowerVoltageEvent* out, std::size_t maxCount);
    std::size_t finishedCount() const { return finished.size(); }
    // Copies up to maxCount events still in progress (not ended, duration up
    // to the latest value) into out, in the order dip, swell, interruption.
    std::size_t copyInProgress(PowerVoltageEvent* out, std::size_t maxCount) const;

    // The reference voltage of a phase now (the declared voltage until the
    // sliding reference has seen a value).
    double reference(std::size_t phase) const { return references[phase]; }
    std::size_t phases() const { return phaseCount; }

private:
    struct Open {
        bool active = false;
        PowerVoltageEvent event{};
    };
    enum Kind { kDip, kSwell, kInterruption, kKinds };

    void judge(Kind kind, const double* values, double time);
    void start(Kind kind, const double* values, double time);
    void extend(Kind kind, const double* values);
    void finish(Kind kind, double time);
    void slideReferences(const double* values, double time);
    double percentOf(std::size_t phase, double percent) const { return references[phase] * percent * 0.01; }

    VoltageEventSettings settings;
    std::size_t phaseCount = 0;
    std::array<double, kMaxPhases> references{};
    double lastTime = 0.0;
    bool anyValue = false;
    uint32_t nextIndex = 0;
    std::array<Open, kKinds> open{};
    std::deque<PowerVoltageEvent> finished;
};

}  // namespace powergpu
