/*
 * The flat interface driven from C through the public header and the shared
 * library: configure a single-phase module, write a 230 V / 50 Hz sine
 * through the ring pointers (wrapping at the ring end), schedule, poll and
 * fetch windows, read a setting back, see rejected calls and a failed
 * creation explain themselves.
 */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "powergpu.h"

static int failures = 0;

#define ASSERT_TRUE(condition)                                                            \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)
#define ASSERT_OK(call) ASSERT_TRUE((call) == POWER_STATUS_SUCCESS)

enum { kRate = 10000, kRing = 3000, kWindow = 2000, kBlock = 700 };

static int near(double value, double expected, double relative) {
    return fabs(value - expected) <= relative * fabs(expected);
}

int main(void) {
    ASSERT_TRUE(sizeof(PowerResultsGeneral) == 3808 && sizeof(PowerResultsPeriod) == 392 && sizeof(RvcResult) == 40);
    PowerModuleHandle module = powerModule_createOnBackend(POWER_BACKEND_CPU);
    if (module == NULL) {
        fprintf(stderr, "no module could be created on the CPU backend\n");
        return 1;
    }
    ASSERT_OK(beginUpdate(module));
    ASSERT_OK(setSampleRate(module, kRate, 1));
    ASSERT_OK(setBufferLength(module, kRing));
    ASSERT_OK(setGridConfigType(module, SinglePhase));
    ASSERT_OK(setThdEnabled(module, true));
    ASSERT_OK(setHighestRequestedHarmonic(module, 25));
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
    int32_t highest = 0;
    ASSERT_OK(getHighestRequestedHarmonic(module, &highest));
    ASSERT_TRUE(highest == 25);
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
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("flat interface from C: all checks passed\n");
    return 0;
}
