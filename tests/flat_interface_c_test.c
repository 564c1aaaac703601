/*
 * The flat interface driven from C through the public header and the
 * shared library: configure a single-phase module, write a 230 V / 50 Hz
 * sine through the ring pointers (wrapping at the ring end), schedule
 * windows, poll, fetch and check the results, read settings back, see a
 * rejected call explain itself, and destroy the module.
 */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "powergpu.h"

static int failures = 0;

#define CHECK(condition)                                                          \
    do {                                                                          \
        if (!(condition)) {                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                           \
        }                                                                         \
    } while (0)

#define CHECK_OK(call) CHECK((call) == POWER_STATUS_SUCCESS)

enum { kRate = 10000, kRing = 3000, kWindow = 2000, kBlock = 700 };

static const double kPi = 3.14159265358979323846;

static int reportedKind = 0;

static void reporter(int32_t kind, const char* message) {
    reportedKind = kind;
    (void)message;
}

/* Writes count samples from running index `from` into the voltage and
 * current rings, wrapping at the ring end, and announces them. */
static void writeSine(PowerModuleHandle module, uint64_t from, uint32_t count) {
    float* u = NULL;
    float* i = NULL;
    CHECK_OK(getWaveformBufferUInput(module, 0, &u));
    CHECK_OK(getWaveformBufferI(module, 0, &i));
    if (u == NULL || i == NULL) {
        ++failures;
        return;
    }
    for (uint64_t k = from; k < from + count; ++k) {
        const double s = sin(2.0 * kPi * 50.0 * (double)k / kRate);
        u[k % kRing] = (float)(230.0 * sqrt(2.0) * s);
        i[k % kRing] = (float)(4.0 * sqrt(2.0) * s);
    }
    CHECK_OK(writeSamples(module, count));
}

static int near(double value, double expected, double relative) {
    return fabs(value - expected) <= relative * fabs(expected);
}

int main(void) {
    CHECK(sizeof(PowerResultsGeneral) == 3808);
    CHECK(sizeof(PowerResultsPeriod) == 392);
    CHECK(sizeof(RvcResult) == 40);

    PowerModuleHandle module = powerModule_createOnBackend(POWER_BACKEND_CPU);
    if (module == NULL) {
        fprintf(stderr, "no module could be created on the CPU backend\n");
        return 1;
    }
    CHECK_OK(registerErrorReporter(reporter));
    int32_t backend = -1;
    CHECK_OK(getBackend(module, &backend));
    CHECK(backend == POWER_BACKEND_CPU);

    CHECK_OK(beginUpdate(module));
    CHECK_OK(setSampleRate(module, kRate, 1));
    CHECK_OK(setBufferLength(module, kRing));
    CHECK_OK(setGridConfigType(module, SinglePhase));
    CHECK_OK(setStaticFrequency(module, 50.0, 0.1));
    CHECK_OK(setThdEnabled(module, true));
    CHECK_OK(setHighestRequestedHarmonic(module, 25));
    CHECK_OK(endUpdate(module));
    CHECK_OK(reset(module, 0));

    /* Blocks of 700 samples wrap the ring of 3000 on their way to 6000. */
    const uint64_t total = 3 * kWindow;
    uint64_t written = 0;
    int delivered = 0;
    PowerResultsGeneral results[4];
    while (written < total) {
        const uint32_t count = (uint32_t)(total - written < kBlock ? total - written : kBlock);
        writeSine(module, written, count);
        written += count;
        const uint64_t first = (uint64_t)delivered * kWindow;
        if (written >= first + kWindow) {
            CHECK_OK(scheduleForCalculation(module, first, kWindow, 50.0));
            bool ready = false;
            CHECK_OK(isAnyResultReady(module, &ready));
            CHECK(ready);
            int32_t got = -1;
            CHECK_OK(getResults(module, 4, &got, results));
            CHECK(got == 1);
            if (got == 1) {
                const PowerResultsGeneral* r = &results[0];
                CHECK(near(r->channels[0].rmsU, 230.0, 1e-3));
                CHECK(near(r->channels[0].rmsI, 4.0, 1e-3));
                CHECK(near(r->channels[0].p, 920.0, 1e-3));
                CHECK(r->firstSampleIndex == first);
                CHECK(r->length == kWindow);
                CHECK(r->phasesCount == 1);
                CHECK(near(r->time, (double)(first + kWindow) / kRate, 1e-12));
                CHECK(r->frequency == 50.0);
                CHECK(r->channels[0].harmonicsU != NULL);
            }
            ++delivered;
        }
    }
    CHECK(delivered == 3);

    /* Nothing is left to fetch. */
    bool ready = true;
    CHECK_OK(isAnyResultReady(module, &ready));
    CHECK(!ready);

    /* Settings read back. */
    uint8_t phases = 0, voltages = 0, currents = 0;
    CHECK_OK(getPhasesCount(module, &phases));
    CHECK_OK(getVoltagesCount(module, &voltages));
    CHECK_OK(getCurrentsCount(module, &currents));
    CHECK(phases == 1 && voltages == 1 && currents == 1);
    bool thd = false;
    CHECK_OK(getThdEnabled(module, &thd));
    CHECK(thd);
    int32_t highest = 0;
    CHECK_OK(getHighestRequestedHarmonic(module, &highest));
    CHECK(highest == 25);
    double threshold = 0.0;
    CHECK_OK(getRvcThresholdInPercentOfAverage(module, &threshold));
    CHECK(threshold == 2.0);

    /* A rejected call: a window of samples not written yet. */
    reportedKind = 0;
    CHECK(scheduleForCalculation(module, written, kWindow, 50.0) == POWER_STATUS_UNKNOWN_ERROR);
    CHECK(reportedKind == 0); /* only GPU failures are reported */
    char message[256];
    int32_t length = -1;
    CHECK_OK(getLastErrorMessage(module, message, (int32_t)sizeof message, &length));
    CHECK(length > 0 && (size_t)length == strlen(message));

    /* The results array is too small for a call with maxCount 0 and a ready window. */
    CHECK_OK(scheduleForCalculation(module, written - kWindow, kWindow, 50.0));
    int32_t count = 77;
    CHECK(getResults(module, 0, &count, results) == POWER_STATUS_TOO_MANY_RESULTS);
    CHECK(count == 77);
    CHECK_OK(getLastErrorMessage(module, message, (int32_t)sizeof message, &length));
    CHECK(strcmp(message, "Too many results to fit in allocated space.") == 0);

    CHECK_OK(registerErrorReporter(NULL));
    CHECK_OK(powerModule_destroy(module));
    CHECK_OK(powerModule_destroy(NULL));

    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("flat interface from C: all checks passed\n");
    return 0;
}
