// The records cross the flat interface byte for byte: callers in C and
// Python lay them out by these sizes and offsets, so their layout is a
// contract with every caller, checked here in one place, field by field. A
// record that grows or a field that moves stops the build, naming both.
#include <cstddef>

#include "powergpu.h"

#define POWERGPU_CHECK_SIZE(type, size) static_assert(sizeof(type) == (size), #type " size")
#define POWERGPU_CHECK_FIELD(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "::" #field " moved")

static_assert(sizeof(bool) == 1, "flat interface bools are one byte");
static_assert(sizeof(void*) == 8, "records hold 64-bit pointers");

POWERGPU_CHECK_SIZE(PowerFloat2, 8);
POWERGPU_CHECK_SIZE(PowerDouble2, 16);

POWERGPU_CHECK_SIZE(PowerResultsThd, 72);
POWERGPU_CHECK_FIELD(PowerResultsThd, thd, 0);
POWERGPU_CHECK_FIELD(PowerResultsThd, thdEven, 8);
POWERGPU_CHECK_FIELD(PowerResultsThd, thdOdd, 16);
POWERGPU_CHECK_FIELD(PowerResultsThd, thdOddTriplen, 24);
POWERGPU_CHECK_FIELD(PowerResultsThd, thdOddNonTriplen, 32);
POWERGPU_CHECK_FIELD(PowerResultsThd, thdRms, 40);
POWERGPU_CHECK_FIELD(PowerResultsThd, harmonicRms, 48);
POWERGPU_CHECK_FIELD(PowerResultsThd, distortionRms, 56);
POWERGPU_CHECK_FIELD(PowerResultsThd, distortion, 64);

POWERGPU_CHECK_SIZE(PowerResultsSymmetricalComponent, 168);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, u, 0);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, uL, 16);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, i, 32);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, uMagnitude, 48);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, uLMagnitude, 56);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, iMagnitude, 64);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, p, 72);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, q, 80);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, s, 88);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, iActive, 96);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, iReactive, 104);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, lambda, 112);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, rmsU, 120);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, rmsI, 128);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, rmsURatio, 136);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, rmsIRatio, 144);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, uRatio, 152);
POWERGPU_CHECK_FIELD(PowerResultsSymmetricalComponent, iRatio, 160);

POWERGPU_CHECK_SIZE(PowerResultsChannel, 776);
POWERGPU_CHECK_FIELD(PowerResultsChannel, meanAbsU, 0);
POWERGPU_CHECK_FIELD(PowerResultsChannel, meanAbsI, 8);
POWERGPU_CHECK_FIELD(PowerResultsChannel, meanAbsUL, 16);
POWERGPU_CHECK_FIELD(PowerResultsChannel, rmsU, 24);
POWERGPU_CHECK_FIELD(PowerResultsChannel, rmsI, 32);
POWERGPU_CHECK_FIELD(PowerResultsChannel, rmsUL, 40);
POWERGPU_CHECK_FIELD(PowerResultsChannel, p, 48);
POWERGPU_CHECK_FIELD(PowerResultsChannel, rmsFftU, 56);
POWERGPU_CHECK_FIELD(PowerResultsChannel, rmsFftI, 64);
POWERGPU_CHECK_FIELD(PowerResultsChannel, rmsFftUL, 72);
POWERGPU_CHECK_FIELD(PowerResultsChannel, h1U, 80);
POWERGPU_CHECK_FIELD(PowerResultsChannel, h1I, 88);
POWERGPU_CHECK_FIELD(PowerResultsChannel, h1UL, 96);
POWERGPU_CHECK_FIELD(PowerResultsChannel, pFft, 104);
POWERGPU_CHECK_FIELD(PowerResultsChannel, nonActivePower, 112);
POWERGPU_CHECK_FIELD(PowerResultsChannel, s, 120);
POWERGPU_CHECK_FIELD(PowerResultsChannel, lambda, 128);
POWERGPU_CHECK_FIELD(PowerResultsChannel, d1, 136);
POWERGPU_CHECK_FIELD(PowerResultsChannel, q, 144);
POWERGPU_CHECK_FIELD(PowerResultsChannel, d, 152);
POWERGPU_CHECK_FIELD(PowerResultsChannel, p1, 160);
POWERGPU_CHECK_FIELD(PowerResultsChannel, q1, 168);
POWERGPU_CHECK_FIELD(PowerResultsChannel, s1, 176);
POWERGPU_CHECK_FIELD(PowerResultsChannel, cosPhi1, 184);
POWERGPU_CHECK_FIELD(PowerResultsChannel, q1Sum, 192);
POWERGPU_CHECK_FIELD(PowerResultsChannel, z, 200);
POWERGPU_CHECK_FIELD(PowerResultsChannel, z1, 208);
POWERGPU_CHECK_FIELD(PowerResultsChannel, thdU, 216);
POWERGPU_CHECK_FIELD(PowerResultsChannel, thdI, 288);
POWERGPU_CHECK_FIELD(PowerResultsChannel, thdUL, 360);
POWERGPU_CHECK_FIELD(PowerResultsChannel, thdInterU, 432);
POWERGPU_CHECK_FIELD(PowerResultsChannel, thdInterI, 504);
POWERGPU_CHECK_FIELD(PowerResultsChannel, thdInterUL, 576);
POWERGPU_CHECK_FIELD(PowerResultsChannel, harmonicRmsI, 648);
POWERGPU_CHECK_FIELD(PowerResultsChannel, fftU, 656);
POWERGPU_CHECK_FIELD(PowerResultsChannel, fftI, 664);
POWERGPU_CHECK_FIELD(PowerResultsChannel, fftUL, 672);
POWERGPU_CHECK_FIELD(PowerResultsChannel, harmonicsU, 680);
POWERGPU_CHECK_FIELD(PowerResultsChannel, harmonicsI, 688);
POWERGPU_CHECK_FIELD(PowerResultsChannel, harmonicsUL, 696);
POWERGPU_CHECK_FIELD(PowerResultsChannel, interharmonicsU, 704);
POWERGPU_CHECK_FIELD(PowerResultsChannel, interharmonicsI, 712);
POWERGPU_CHECK_FIELD(PowerResultsChannel, interharmonicsUL, 720);
POWERGPU_CHECK_FIELD(PowerResultsChannel, harmonicsP, 728);
POWERGPU_CHECK_FIELD(PowerResultsChannel, harmonicsQ, 736);
POWERGPU_CHECK_FIELD(PowerResultsChannel, harmonicsS, 744);
POWERGPU_CHECK_FIELD(PowerResultsChannel, harmonicsZ, 752);
POWERGPU_CHECK_FIELD(PowerResultsChannel, phasesU, 760);
POWERGPU_CHECK_FIELD(PowerResultsChannel, phasesI, 768);

POWERGPU_CHECK_SIZE(PowerResultsGeneral, 3808);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, time, 0);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, frequency, 8);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, dFrequency, 16);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, referenceAngle, 24);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, firstSampleIndex, 32);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, length, 40);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, fftOutputLength, 44);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, harmonicLength, 48);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, phasesCount, 52);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, channels, 56);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, symmetricalResults, 3160);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, clarkeU, 3664);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, parkU, 3712);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, clarkeI, 3736);
POWERGPU_CHECK_FIELD(PowerResultsGeneral, parkI, 3784);

POWERGPU_CHECK_SIZE(RvcResult, 40);
POWERGPU_CHECK_FIELD(RvcResult, stateChanged, 0);
POWERGPU_CHECK_FIELD(RvcResult, firstValue, 1);
POWERGPU_CHECK_FIELD(RvcResult, state, 4);
POWERGPU_CHECK_FIELD(RvcResult, eventEnded, 8);
POWERGPU_CHECK_FIELD(RvcResult, eventCount, 12);
POWERGPU_CHECK_FIELD(RvcResult, deltaUss, 16);
POWERGPU_CHECK_FIELD(RvcResult, deltaUmax, 20);
POWERGPU_CHECK_FIELD(RvcResult, duration, 24);
POWERGPU_CHECK_FIELD(RvcResult, time, 32);

POWERGPU_CHECK_SIZE(PowerResultsPeriod, 392);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, time, 0);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, frequency, 8);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, rmsU, 16);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, rmsI, 24);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, rmsUL, 32);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, p, 40);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, nonActivePower, 48);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, s, 56);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, lambda, 64);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, h1U, 72);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, h1I, 80);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, reserved, 88);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, p1, 96);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, q1, 104);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, q1Sum, 112);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, s1, 120);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, phi1, 128);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, valid, 136);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, rvcU, 144);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, rvcUL, 184);
POWERGPU_CHECK_FIELD(PowerResultsPeriod, symmetricalComponent, 224);

POWERGPU_CHECK_SIZE(PowerVoltageEvent, 64);
POWERGPU_CHECK_FIELD(PowerVoltageEvent, type, 0);
POWERGPU_CHECK_FIELD(PowerVoltageEvent, phases, 4);
POWERGPU_CHECK_FIELD(PowerVoltageEvent, index, 8);
POWERGPU_CHECK_FIELD(PowerVoltageEvent, extremePhase, 12);
POWERGPU_CHECK_FIELD(PowerVoltageEvent, startTime, 16);
POWERGPU_CHECK_FIELD(PowerVoltageEvent, duration, 24);
POWERGPU_CHECK_FIELD(PowerVoltageEvent, extreme, 32);
POWERGPU_CHECK_FIELD(PowerVoltageEvent, extremePercent, 40);
POWERGPU_CHECK_FIELD(PowerVoltageEvent, referenceVoltage, 48);
POWERGPU_CHECK_FIELD(PowerVoltageEvent, ended, 56);
POWERGPU_CHECK_FIELD(PowerVoltageEvent, valueCount, 60);

POWERGPU_CHECK_SIZE(PowerTenSecondFrequency, 48);
POWERGPU_CHECK_FIELD(PowerTenSecondFrequency, frequency, 8);
POWERGPU_CHECK_FIELD(PowerTenSecondFrequency, cycleDuration, 16);
POWERGPU_CHECK_FIELD(PowerTenSecondFrequency, index, 24);
POWERGPU_CHECK_FIELD(PowerTenSecondFrequency, cycleCount, 28);
POWERGPU_CHECK_FIELD(PowerTenSecondFrequency, invalidCycleCount, 32);
POWERGPU_CHECK_FIELD(PowerTenSecondFrequency, straddlingCycleCount, 36);
POWERGPU_CHECK_FIELD(PowerTenSecondFrequency, flagged, 40);

POWERGPU_CHECK_SIZE(PowerIecHarmonicChannel, 1240);
POWERGPU_CHECK_FIELD(PowerIecHarmonicChannel, interharmonic, 408);
POWERGPU_CHECK_FIELD(PowerIecHarmonicChannel, group, 816);
POWERGPU_CHECK_FIELD(PowerIecHarmonicChannel, thds, 1224);
POWERGPU_CHECK_FIELD(PowerIecHarmonicChannel, thdg, 1232);

POWERGPU_CHECK_SIZE(PowerIecHarmonics, 7472);
POWERGPU_CHECK_FIELD(PowerIecHarmonics, length, 8);
POWERGPU_CHECK_FIELD(PowerIecHarmonics, highestOrder, 12);
POWERGPU_CHECK_FIELD(PowerIecHarmonics, frequency, 16);
POWERGPU_CHECK_FIELD(PowerIecHarmonics, binsPerPeriod, 24);
POWERGPU_CHECK_FIELD(PowerIecHarmonics, voltageCount, 28);
POWERGPU_CHECK_FIELD(PowerIecHarmonics, currentCount, 29);
POWERGPU_CHECK_FIELD(PowerIecHarmonics, channels, 32);

POWERGPU_CHECK_SIZE(PowerFlickerPinst, 32);
POWERGPU_CHECK_FIELD(PowerFlickerPinst, firstSampleIndex, 0);
POWERGPU_CHECK_FIELD(PowerFlickerPinst, length, 8);
POWERGPU_CHECK_FIELD(PowerFlickerPinst, channel, 12);
POWERGPU_CHECK_FIELD(PowerFlickerPinst, mean, 16);
POWERGPU_CHECK_FIELD(PowerFlickerPinst, max, 24);

POWERGPU_CHECK_SIZE(PowerFlickerPst, 80);
POWERGPU_CHECK_FIELD(PowerFlickerPst, firstSampleIndex, 0);
POWERGPU_CHECK_FIELD(PowerFlickerPst, length, 8);
POWERGPU_CHECK_FIELD(PowerFlickerPst, pst, 16);
POWERGPU_CHECK_FIELD(PowerFlickerPst, p01, 24);
POWERGPU_CHECK_FIELD(PowerFlickerPst, p1s, 32);
POWERGPU_CHECK_FIELD(PowerFlickerPst, p3s, 40);
POWERGPU_CHECK_FIELD(PowerFlickerPst, p10s, 48);
POWERGPU_CHECK_FIELD(PowerFlickerPst, p50s, 56);
POWERGPU_CHECK_FIELD(PowerFlickerPst, coverage, 64);
POWERGPU_CHECK_FIELD(PowerFlickerPst, channel, 72);
POWERGPU_CHECK_FIELD(PowerFlickerPst, complete, 73);

POWERGPU_CHECK_SIZE(PowerCycleDetectorSettings, 80);
POWERGPU_CHECK_FIELD(PowerCycleDetectorSettings, nominalFrequency, 8);
POWERGPU_CHECK_FIELD(PowerCycleDetectorSettings, positionsPerSample, 16);
POWERGPU_CHECK_FIELD(PowerCycleDetectorSettings, startIndex, 24);
POWERGPU_CHECK_FIELD(PowerCycleDetectorSettings, tolerance, 32);
POWERGPU_CHECK_FIELD(PowerCycleDetectorSettings, nominalRms, 40);
POWERGPU_CHECK_FIELD(PowerCycleDetectorSettings, minAmplitude, 48);
POWERGPU_CHECK_FIELD(PowerCycleDetectorSettings, hysteresis, 56);
POWERGPU_CHECK_FIELD(PowerCycleDetectorSettings, filterCycles, 64);
POWERGPU_CHECK_FIELD(PowerCycleDetectorSettings, maxGapCycles, 72);

POWERGPU_CHECK_SIZE(PowerCycleEntry, 32);
POWERGPU_CHECK_FIELD(PowerCycleEntry, length, 8);
POWERGPU_CHECK_FIELD(PowerCycleEntry, kind, 12);
POWERGPU_CHECK_FIELD(PowerCycleEntry, valid, 13);
POWERGPU_CHECK_FIELD(PowerCycleEntry, reserved, 14);
POWERGPU_CHECK_FIELD(PowerCycleEntry, frequency, 16);
POWERGPU_CHECK_FIELD(PowerCycleEntry, amplitude, 24);
