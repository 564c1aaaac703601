// The result records cross the library boundary byte for byte; their
// layout is a contract with every caller, checked here field by field.
#include <cstddef>

#include "powergpu.h"

#define POWERGPU_CHECK_OFFSET(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "::" #field " moved")

static_assert(sizeof(bool) == 1, "flat interface bools are one byte");
static_assert(sizeof(void*) == 8, "records hold 64-bit pointers");

static_assert(sizeof(PowerFloat2) == 8, "PowerFloat2 size");
static_assert(sizeof(PowerDouble2) == 16, "PowerDouble2 size");

static_assert(sizeof(PowerResultsThd) == 72, "PowerResultsThd size");
POWERGPU_CHECK_OFFSET(PowerResultsThd, thd, 0);
POWERGPU_CHECK_OFFSET(PowerResultsThd, thdEven, 8);
POWERGPU_CHECK_OFFSET(PowerResultsThd, thdOdd, 16);
POWERGPU_CHECK_OFFSET(PowerResultsThd, thdOddTriplen, 24);
POWERGPU_CHECK_OFFSET(PowerResultsThd, thdOddNonTriplen, 32);
POWERGPU_CHECK_OFFSET(PowerResultsThd, thdRms, 40);
POWERGPU_CHECK_OFFSET(PowerResultsThd, harmonicRms, 48);
POWERGPU_CHECK_OFFSET(PowerResultsThd, distortionRms, 56);
POWERGPU_CHECK_OFFSET(PowerResultsThd, distortion, 64);

static_assert(sizeof(PowerResultsSymmetricalComponent) == 168, "PowerResultsSymmetricalComponent size");
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, u, 0);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, uL, 16);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, i, 32);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, uMagnitude, 48);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, uLMagnitude, 56);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, iMagnitude, 64);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, p, 72);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, q, 80);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, s, 88);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, iActive, 96);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, iReactive, 104);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, lambda, 112);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, rmsU, 120);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, rmsI, 128);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, rmsURatio, 136);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, rmsIRatio, 144);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, uRatio, 152);
POWERGPU_CHECK_OFFSET(PowerResultsSymmetricalComponent, iRatio, 160);

static_assert(sizeof(PowerResultsChannel) == 776, "PowerResultsChannel size");
POWERGPU_CHECK_OFFSET(PowerResultsChannel, meanAbsU, 0);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, meanAbsI, 8);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, meanAbsUL, 16);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, rmsU, 24);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, rmsI, 32);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, rmsUL, 40);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, p, 48);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, rmsFftU, 56);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, rmsFftI, 64);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, rmsFftUL, 72);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, h1U, 80);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, h1I, 88);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, h1UL, 96);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, pFft, 104);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, nonActivePower, 112);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, s, 120);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, lambda, 128);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, d1, 136);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, q, 144);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, d, 152);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, p1, 160);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, q1, 168);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, s1, 176);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, cosPhi1, 184);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, q1Sum, 192);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, z, 200);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, z1, 208);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, thdU, 216);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, thdI, 288);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, thdUL, 360);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, thdInterU, 432);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, thdInterI, 504);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, thdInterUL, 576);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, harmonicRmsI, 648);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, fftU, 656);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, fftI, 664);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, fftUL, 672);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, harmonicsU, 680);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, harmonicsI, 688);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, harmonicsUL, 696);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, interharmonicsU, 704);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, interharmonicsI, 712);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, interharmonicsUL, 720);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, harmonicsP, 728);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, harmonicsQ, 736);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, harmonicsS, 744);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, harmonicsZ, 752);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, phasesU, 760);
POWERGPU_CHECK_OFFSET(PowerResultsChannel, phasesI, 768);

static_assert(sizeof(PowerResultsGeneral) == 3808, "PowerResultsGeneral size");
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, time, 0);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, frequency, 8);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, dFrequency, 16);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, referenceAngle, 24);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, firstSampleIndex, 32);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, length, 40);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, fftOutputLength, 44);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, harmonicLength, 48);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, phasesCount, 52);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, channels, 56);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, symmetricalResults, 3160);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, clarkeU, 3664);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, parkU, 3712);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, clarkeI, 3736);
POWERGPU_CHECK_OFFSET(PowerResultsGeneral, parkI, 3784);

static_assert(sizeof(RvcResult) == 40, "RvcResult size");
POWERGPU_CHECK_OFFSET(RvcResult, stateChanged, 0);
POWERGPU_CHECK_OFFSET(RvcResult, firstValue, 1);
POWERGPU_CHECK_OFFSET(RvcResult, state, 4);
POWERGPU_CHECK_OFFSET(RvcResult, eventEnded, 8);
POWERGPU_CHECK_OFFSET(RvcResult, eventCount, 12);
POWERGPU_CHECK_OFFSET(RvcResult, deltaUss, 16);
POWERGPU_CHECK_OFFSET(RvcResult, deltaUmax, 20);
POWERGPU_CHECK_OFFSET(RvcResult, duration, 24);
POWERGPU_CHECK_OFFSET(RvcResult, time, 32);

static_assert(sizeof(PowerResultsPeriod) == 392, "PowerResultsPeriod size");
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, time, 0);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, frequency, 8);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, rmsU, 16);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, rmsI, 24);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, rmsUL, 32);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, p, 40);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, nonActivePower, 48);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, s, 56);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, lambda, 64);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, h1U, 72);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, h1I, 80);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, reserved, 88);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, p1, 96);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, q1, 104);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, q1Sum, 112);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, s1, 120);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, phi1, 128);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, valid, 136);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, rvcU, 144);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, rvcUL, 184);
POWERGPU_CHECK_OFFSET(PowerResultsPeriod, symmetricalComponent, 224);

static_assert(sizeof(PowerVoltageEvent) == 64, "PowerVoltageEvent size");
POWERGPU_CHECK_OFFSET(PowerVoltageEvent, type, 0);
POWERGPU_CHECK_OFFSET(PowerVoltageEvent, phases, 4);
POWERGPU_CHECK_OFFSET(PowerVoltageEvent, index, 8);
POWERGPU_CHECK_OFFSET(PowerVoltageEvent, extremePhase, 12);
POWERGPU_CHECK_OFFSET(PowerVoltageEvent, startTime, 16);
POWERGPU_CHECK_OFFSET(PowerVoltageEvent, duration, 24);
POWERGPU_CHECK_OFFSET(PowerVoltageEvent, extreme, 32);
POWERGPU_CHECK_OFFSET(PowerVoltageEvent, extremePercent, 40);
POWERGPU_CHECK_OFFSET(PowerVoltageEvent, referenceVoltage, 48);
POWERGPU_CHECK_OFFSET(PowerVoltageEvent, ended, 56);
POWERGPU_CHECK_OFFSET(PowerVoltageEvent, valueCount, 60);
