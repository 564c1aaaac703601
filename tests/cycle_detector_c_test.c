/*
 * The cycle detector driven from C through the public header: the records'
 * layout as C sees it, rejected settings and calls with their messages, and
 * one second of a 50 Hz sine taken into the caller's own entries.
 */
#include <math.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "powergpu.h"
#include "support/c_checks.h"

_Static_assert(sizeof(PowerCycleEntry) == 32, "PowerCycleEntry size");
_Static_assert(offsetof(PowerCycleEntry, length) == 8 && offsetof(PowerCycleEntry, kind) == 12 &&
                   offsetof(PowerCycleEntry, valid) == 13 && offsetof(PowerCycleEntry, frequency) == 16 &&
                   offsetof(PowerCycleEntry, amplitude) == 24,
               "PowerCycleEntry layout");
_Static_assert(sizeof(PowerCycleDetectorSettings) == 80, "PowerCycleDetectorSettings size");

enum { kSamples = 10000, kMostEntries = 200 };

static int messageNames(const char* word) {
    char text[512];
    int32_t length = 0;
    if (getLastErrorMessage(NULL, text, (int32_t)sizeof text, &length) != POWER_STATUS_SUCCESS) {
        return 0;
    }
    return strstr(text, word) != NULL;
}

int main(void) {
    PowerCycleDetectorSettings settings;
    ASSERT_OK(powerCycleDetector_defaultSettings(&settings));
    ASSERT_TRUE(settings.positionsPerSample == 1000 && settings.nominalFrequency == 50.0 && isnan(settings.nominalRms));

    PowerCycleDetectorHandle detector = NULL;
    ASSERT_REJECTED(powerCycleDetector_create(&settings, &detector)); /* no sample rate yet */
    ASSERT_TRUE(detector == NULL && messageNames("sampleRate"));
    ASSERT_REJECTED(powerCycleDetector_create(NULL, &detector));
    settings.sampleRate = 10000.0;
    settings.startIndex = 5;
    ASSERT_REJECTED(powerCycleDetector_create(&settings, NULL));
    ASSERT_OK(powerCycleDetector_create(&settings, &detector));
    if (detector == NULL) {
        return finish("cycle detector from C");
    }

    /* calls without a detector or with bad arguments change nothing */
    double level = -1.0;
    int32_t count = -1;
    ASSERT_REJECTED(powerCycleDetector_getReferenceLevel(NULL, &level));
    ASSERT_TRUE(messageNames("handle is null"));
    ASSERT_REJECTED(powerCycleDetector_process(detector, NULL, 10));
    ASSERT_REJECTED(powerCycleDetector_process(detector, NULL, -1));
    ASSERT_REJECTED(powerCycleDetector_takeEntries(detector, -1, &count, NULL));
    ASSERT_REJECTED(powerCycleDetector_takeEntries(detector, 1, &count, NULL));
    ASSERT_REJECTED(powerCycleDetector_getAnchor(detector, NULL, NULL));
    uint64_t consumed = 1;
    ASSERT_OK(powerCycleDetector_getSamplesConsumed(detector, &consumed));
    ASSERT_TRUE(consumed == 0);

    static double samples[kSamples];
    for (int n = 0; n < kSamples; ++n) {
        samples[n] = 325.0 * sin(2.0 * 3.14159265358979323846 * 50.0 * n / 10000.0 + 1.0);
    }
    ASSERT_OK(powerCycleDetector_process(detector, samples, kSamples));
    ASSERT_OK(powerCycleDetector_flush(detector));
    ASSERT_REJECTED(powerCycleDetector_process(detector, samples, 1));
    ASSERT_TRUE(messageNames("flushed"));
    int32_t delay = 0;
    ASSERT_OK(powerCycleDetector_getFilterDelay(detector, &delay));
    ASSERT_TRUE(delay == 1000); /* 10 cycles of 200 samples: 2001 taps */
    ASSERT_REJECTED(powerCycleDetector_getFilterTaps(detector, 1, &count, NULL));
    ASSERT_OK(powerCycleDetector_getFilterTaps(detector, 0, &count, NULL));
    ASSERT_TRUE(count == 2 * delay + 1);
    static double taps[2001];
    ASSERT_OK(powerCycleDetector_getFilterTaps(detector, 2001, &count, taps));
    ASSERT_TRUE(count == 2001);
    /* unit gain at 50 Hz: the taps are symmetric, so the response is real */
    double gain = 0.0;
    for (int k = 0; k < count; ++k) {
        gain += taps[k] * cos(2.0 * 3.14159265358979323846 * 50.0 * (k - delay) / 10000.0);
    }
    ASSERT_TRUE(fabs(gain - 1.0) < 1e-12 && taps[0] == taps[2000]);

    ASSERT_OK(powerCycleDetector_takeEntries(detector, 0, &count, NULL));
    ASSERT_TRUE(count > 40 && count <= kMostEntries);
    static PowerCycleEntry entries[kMostEntries];
    ASSERT_OK(powerCycleDetector_takeEntries(detector, kMostEntries, &count, entries));
    uint64_t end = 5000;
    int valid = 0;
    for (int k = 0; k < count; ++k) {
        ASSERT_TRUE(entries[k].start == end);
        end += (uint64_t)entries[k].length;
        if (entries[k].valid) {
            ++valid;
            ASSERT_TRUE(entries[k].kind == POWER_CYCLE_MEASURED && fabs(entries[k].frequency / 50.0 - 1.0) < 1e-6);
            ASSERT_TRUE(fabs(entries[k].amplitude / (325.0 / sqrt(2.0)) - 1.0) < 1e-5);
        }
    }
    ASSERT_TRUE(end == 5000 + 1000 * (uint64_t)kSamples);
    ASSERT_TRUE(valid >= 38); /* 50 cycles less about five at either end */
    bool known = false;
    uint64_t anchor = 0;
    ASSERT_OK(powerCycleDetector_getAnchor(detector, &known, &anchor));
    /* the first rising crossing, at (1 - 1 / (2 pi)) 200 = 168.17 samples; the
       filter has not settled there, so only to within a sample */
    ASSERT_TRUE(known && fabs((double)anchor - 5000.0 - 168169.0) < 1000.0);
    ASSERT_OK(powerCycleDetector_takeEntries(detector, 0, &count, NULL));
    ASSERT_TRUE(count == 0);
    ASSERT_OK(powerCycleDetector_destroy(detector));
    ASSERT_OK(powerCycleDetector_destroy(NULL));
    return finish("cycle detector from C: all checks passed");
}
