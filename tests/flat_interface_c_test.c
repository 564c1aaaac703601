/*
 * The flat interface driven from C through the public header and the shared
 * library: configure a single-phase module, write a 230 V / 50 Hz sine
 * through the ring pointers (wrapping at the ring end), schedule, poll and
 * fetch windows, see rejected calls and a failed creation explain
 * themselves; then report cycles for period values and take the dip and the
 * interruption of a supply lost for 200 ms into the caller's own records.
 */
#include <math.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "powergpu.h"
#include "support/c_checks.h"

enum { kRate = 10000, kRing = 3000, kWindow = 2000, kBlock = 700 };

static int near(double value, double expected, double relative) {
    return fabs(value - expected) <= relative * fabs(expected);
}

_Static_assert(sizeof(PowerVoltageEvent) == 64, "PowerVoltageEvent size");
_Static_assert(offsetof(PowerVoltageEvent, startTime) == 16 && offsetof(PowerVoltageEvent, extreme) == 32 &&
                   offsetof(PowerVoltageEvent, referenceVoltage) == 48 && offsetof(PowerVoltageEvent, ended) == 56 &&
                   offsetof(PowerVoltageEvent, valueCount) == 60,
               "PowerVoltageEvent layout");

/* 230 V, 50 Hz at 10 kHz, lost from 0.5 s to 0.7 s; cycles of 200 samples. */
static void voltageEvents(void) {
    enum { kEventRing = 20000, kCycle = 200, kCycles = 50 };
    PowerModuleHandle module = openCpuModule(kRate, kEventRing);
    if (module == NULL) {
        return;
    }
    ASSERT_OK(setCurrentEnabled(module, false));
    ASSERT_OK(setPeriodValuesEnabled(module, true));
    ASSERT_OK(setPeriodValuesOverlapInPercent(module, 50));
    ASSERT_OK(endUpdate(module));
    ASSERT_OK(setVoltageEventsEnabled(module, true));
    ASSERT_OK(setVoltageEventDeclaredVoltage(module, 230.0));
    ASSERT_TRUE(setVoltageDipThresholdInPercent(module, -5.0) == POWER_STATUS_UNKNOWN_ERROR);
    ASSERT_OK(reset(module, 0));
    float* u = NULL;
    ASSERT_OK(getWaveformBufferUInput(module, 0, &u));
    if (u == NULL) {
        ++failures;
        return;
    }
    for (int k = 0; k < kCycles * kCycle; ++k) {
        const double t = (double)k / kRate;
        const double level = t >= 0.5 && t < 0.7 ? 0.0 : 230.0;
        u[k] = (float)(level * sqrt(2.0) * sin(2.0 * 3.14159265358979323846 * 50.0 * t));
    }
    ASSERT_OK(writeSamples(module, kCycles * kCycle));
    /* Period values wait until general results have delivered their samples. */
    for (int window = 0; window < kCycles / 10; ++window) {
        int32_t got = 0;
        PowerResultsGeneral general[1];
        ASSERT_OK(scheduleForCalculation(module, (uint64_t)window * 10 * kCycle, 10 * kCycle, 50.0));
        ASSERT_OK(getResults(module, 1, &got, general));
    }
    ASSERT_OK(scheduleEqualCycles(module, kCycles, kCycle, 50.0));
    for (bool more = true; more;) {
        int32_t count = 0;
        PowerResultsPeriod* records = NULL;
        ASSERT_OK(getPeriodResults(module, &count, &more, &records));
    }
    int32_t waiting = -1;
    ASSERT_OK(getVoltageEvents(module, 0, &waiting, NULL));
    ASSERT_TRUE(waiting == 2);
    PowerVoltageEvent events[4];
    int32_t taken = -1;
    ASSERT_OK(getVoltageEvents(module, 4, &taken, events));
    ASSERT_TRUE(taken == 2);
    /* The interruption (all below 11.5 V) ends before the dip that holds it. */
    ASSERT_TRUE(events[0].type == POWER_VOLTAGE_EVENT_INTERRUPTION && events[1].type == POWER_VOLTAGE_EVENT_DIP);
    ASSERT_TRUE(events[0].phases == 1 && events[0].ended == 1 && events[0].extreme < 1e-3);
    /*
     * The edges are on crossings and a value with a share x of its cycle lost
     * is 230 sqrt(1 - x) V. Dip: from the value with x = 1/2 (below 207 V) to
     * the first with x = 0, 210 ms. Interruption: from the first with x = 1
     * (below 11.5 V) to the first with x = 1/2 (above 16.1 V), 190 ms.
     */
    ASSERT_TRUE(fabs(events[1].duration - 0.21) < 1e-9 && fabs(events[0].duration - 0.19) < 1e-9);
    ASSERT_OK(getVoltageEventsInProgress(module, 4, &taken, events));
    ASSERT_TRUE(taken == 0);
    ASSERT_TRUE(getVoltageEvents(module, -1, &taken, events) == POWER_STATUS_UNKNOWN_ERROR);
    ASSERT_OK(powerModule_destroy(module));
}

int main(void) {
    voltageEvents();
    ASSERT_TRUE(sizeof(PowerResultsGeneral) == 3808 && sizeof(PowerResultsPeriod) == 392 && sizeof(RvcResult) == 40);
    PowerModuleHandle module = openCpuModule(kRate, kRing);
    if (module == NULL) {
        return 1;
    }
    ASSERT_OK(setGridConfigType(module, SinglePhase));
    ASSERT_OK(setThdEnabled(module, true));
    ASSERT_OK(setHighestRequestedHarmonic(module, 25));
    /* A tolerance above one half is clamped: the range reads 25 .. 75 Hz. */
    double lowest = 0.0;
    double highest = 0.0;
    ASSERT_OK(setStaticFrequency(module, 50.0, 0.9));
    ASSERT_OK(getFrequencyRange(module, &lowest, NULL));
    ASSERT_OK(getFrequencyRange(module, NULL, &highest));
    ASSERT_TRUE(lowest == 25.0 && highest == 75.0);
    ASSERT_OK(setStaticFrequency(module, 50.0, 0.1));
    ASSERT_OK(endUpdate(module));
    ASSERT_OK(reset(module, 0));
    /* Blocks of 700 samples wrap the ring of 3000 on their way to 6000. */
    float* u = NULL;
    float* i = NULL;
    ASSERT_OK(getWaveformBufferUInput(module, 0, &u));
    ASSERT_OK(getWaveformBufferI(module, 0, &i));
    if (u == NULL || i == NULL) {
        return 1;
    }
    uint64_t written = 0;
    int delivered = 0;
    PowerResultsGeneral results[4];
    while (written < 3 * kWindow) {
        const uint32_t count = (uint32_t)(3 * kWindow - written < kBlock ? 3 * kWindow - written : kBlock);
        for (uint64_t k = written; k < written + count; ++k) {
            const double s = sqrt(2.0) * sin(2.0 * 3.14159265358979323846 * 50.0 * (double)k / kRate);
            u[k % kRing] = (float)(230.0 * s);
            i[k % kRing] = (float)(4.0 * s);
        }
        ASSERT_OK(writeSamples(module, count));
        written += count;
        const uint64_t first = (uint64_t)delivered * kWindow;
        if (written >= first + kWindow) {
            ASSERT_OK(scheduleForCalculation(module, first, kWindow, 50.0));
            bool ready = false;
            ASSERT_OK(isAnyResultReady(module, &ready));
            ASSERT_TRUE(ready);
            int32_t got = -1;
            ASSERT_OK(getResults(module, 4, &got, results));
            ASSERT_TRUE(got == 1);
            const PowerResultsGeneral* r = &results[0];
            ASSERT_TRUE(near(r->channels[0].rmsU, 230.0, 1e-3) && near(r->channels[0].rmsI, 4.0, 1e-3));
            ASSERT_TRUE(near(r->channels[0].p, 920.0, 1e-3) && r->channels[0].harmonicsU != NULL);
            ASSERT_TRUE(r->firstSampleIndex == first && r->length == kWindow && r->phasesCount == 1);
            ASSERT_TRUE(near(r->time, (double)(first + kWindow) / kRate, 1e-12) && r->frequency == 50.0);
            ++delivered;
        }
    }
    ASSERT_TRUE(delivered == 3);
    /* A window of samples not written yet is refused and explains itself. */
    ASSERT_TRUE(scheduleForCalculation(module, written, kWindow, 50.0) == POWER_STATUS_UNKNOWN_ERROR);
    char message[256];
    int32_t length = -1;
    ASSERT_OK(getLastErrorMessage(module, message, (int32_t)sizeof message, &length));
    ASSERT_TRUE(length > 0 && (size_t)length == strlen(message));
    /* A ready window and maxCount 0: the results do not fit. */
    ASSERT_OK(scheduleForCalculation(module, written - kWindow, kWindow, 50.0));
    int32_t count = 77;
    ASSERT_TRUE(getResults(module, 0, &count, results) == POWER_STATUS_TOO_MANY_RESULTS);
    ASSERT_TRUE(count == 77);
    ASSERT_OK(getLastErrorMessage(module, message, (int32_t)sizeof message, &length));
    ASSERT_TRUE(strcmp(message, "Too many results to fit in allocated space.") == 0);
    ASSERT_OK(powerModule_destroy(module));
    ASSERT_OK(powerModule_destroy(NULL));
    /* A module that cannot be created leaves its reason for a null handle. */
    ASSERT_TRUE(powerModule_createOnBackend(9) == NULL);
    ASSERT_OK(getLastErrorMessage(NULL, message, (int32_t)sizeof message, &length));
    ASSERT_TRUE(length > 0 && strstr(message, "unknown backend 9") != NULL);
    return finish("flat interface from C: all checks passed");
}
