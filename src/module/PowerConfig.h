// The settings record of a module with its defaults, and every rule that
// derives channel counts, enabled calculations and lengths from it.
#pragma once

#include <cstdint>

#include "flicker/FlickerSettings.h"
#include "iec/IecHarmonicSettings.h"
#include "module/PowerGridConfig.h"
#include "period/VoltageEventSettings.h"

namespace powergpu {

struct PowerConfig {
    PowerGridConfigType gridConfigType = SinglePhase;
    double sampleRate = 1.0;
    int32_t positionsPerSample = 1;
    bool variableFrequency = false;
    double minFrequency = 45.0;
    double maxFrequency = (0.1 + 1.0) * 50.0;  // one unit in the last place above 55
    uint16_t periodCount = 10;
    bool periodValuesEnabled = false;
    bool fundamentalPeriodValuesEnabled = false;
    bool periodSymmetricalComponentsEnabled = false;
    uint16_t halfPeriodValuesCount = 2;
    uint16_t periodValuesOverlapInPercent = 0;
    bool currentEnabled = true;
    bool lineToLineResultsEnabled = false;
    bool waveformsEnabled = false;
    bool interHarmonicsEnabled = false;
    bool fullFftEnabled = false;
    bool thdEnabled = false;
    int32_t highestRequestedHarmonic = 1;
    int32_t thdHighestHarmonic = 40;
    bool symmetricalComponentsEnabled = false;
    bool rvcEnabled = false;
    int32_t rvcSteadyStateLength = 100;
    double rvcThreshold = 2.0;
    double rvcThresholdHysteresis = 50.0;
    bool clarkeTransformEnabled = false;
    bool parkTransformEnabled = false;
    bool clarkeOrParkVoltagesEnabled = false;
    bool clarkeOrParkCurrentsEnabled = false;
    bool clarkeOrParkWaveformsEnabled = false;
    bool mechanicalAngleUsed = false;
    int32_t polePairs = 0;
    double mechAngleOffset = 0.0;
    // Dips, swells and interruptions: plain stores read at reset.
    bool voltageEventsEnabled = false;
    powergpu::VoltageEventSettings voltageEvents;
    powergpu::flicker::FlickerSettings flicker;
    // The 10-s frequency: plain stores read at reset.
    bool tenSecondFrequencyEnabled = false;
    double clockTimeAtSampleIndexZero = 0.0;  // seconds
    // The grouped harmonic analysis (src/iec): rebuilding settings.
    powergpu::iec::IecHarmonicSettings iecHarmonics;

    // Grid configuration and channel counts.
    PowerGridConfig getGridConfig() const { return lookupGridConfig(gridConfigType); }
    uint8_t getPhasesCount() const { return getGridConfig().phasesCount; }
    uint8_t getVoltagesCount() const { return getGridConfig().voltagesCount; }
    uint8_t getCurrentsCount() const { return currentEnabled ? getGridConfig().currentsCount : 0; }
    uint8_t getLineToLineCount() const;
    uint8_t getDeltaWaveformsCount() const;

    // Which optional calculations are active.
    bool areSymmetricalComponentsEnabled() const { return symmetricalComponentsEnabled && getPhasesCount() == 3; }
    bool arePeriodSymmetricalComponentsEnabled() const {
        return periodSymmetricalComponentsEnabled && getPhasesCount() == 3;
    }
    bool areAnyPeriodValuesEnabled() const {
        return periodValuesEnabled || fundamentalPeriodValuesEnabled || arePeriodSymmetricalComponentsEnabled();
    }
    bool areClarkeVoltagesEnabled() const;
    bool areClarkeCurrentsEnabled() const;
    bool areParkVoltagesEnabled() const;
    bool areParkCurrentsEnabled() const;
    bool areClarkeWaveformsRequired() const;
    bool areParkWaveformsRequired() const;
    bool getFullFftEnabled() const { return fullFftEnabled && !variableFrequency; }

    // Length rules. Powers of two for arguments below 1 (or not a number) are 1.
    static uint64_t getPow2Length(double x);
    uint64_t getFftLengthX(double frequency) const;
    uint64_t getMaxFftLength() const { return getFftLengthX(minFrequency); }
    uint64_t getMinFftLength() const { return variableFrequency ? getFftLengthX(maxFrequency) : getMaxFftLength(); }
    uint64_t getRequiredHarmonicsCount() const;
    double getPeriodCountForPeriodValues() const { return halfPeriodValuesCount * 0.5; }
    double getPeriodCountAdvanceBy() const {
        return (1.0 - periodValuesOverlapInPercent * 0.01) * (halfPeriodValuesCount * 0.5);
    }
};

}  // namespace powergpu
