/*
 * The grouped harmonic analysis driven from C through the public header:
 * the record's layout as C sees it, the settings and their rejections
 * (nothing changes on a rejected call), and windows of a 50 Hz sine with a
 * 5th harmonic of 4 % (both on bins of the 10-period window), taken into
 * the caller's own records.
 */
#include <math.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "powergpu.h"
#include "support/c_checks.h"

_Static_assert(sizeof(PowerIecHarmonicChannel) == 1240, "PowerIecHarmonicChannel size");
_Static_assert(offsetof(PowerIecHarmonicChannel, interharmonic) == 408 &&
                   offsetof(PowerIecHarmonicChannel, group) == 816 && offsetof(PowerIecHarmonicChannel, thds) == 1224 &&
                   offsetof(PowerIecHarmonicChannel, thdg) == 1232,
               "PowerIecHarmonicChannel layout");
_Static_assert(sizeof(PowerIecHarmonics) == 7472, "PowerIecHarmonics size");
_Static_assert(offsetof(PowerIecHarmonics, length) == 8 && offsetof(PowerIecHarmonics, highestOrder) == 12 &&
                   offsetof(PowerIecHarmonics, frequency) == 16 && offsetof(PowerIecHarmonics, binsPerPeriod) == 24 &&
                   offsetof(PowerIecHarmonics, voltageCount) == 28 && offsetof(PowerIecHarmonics, currentCount) == 29 &&
                   offsetof(PowerIecHarmonics, channels) == 32,
               "PowerIecHarmonics layout");

enum { kWindow = 2000, kWindows = 3 };

int main(void) {
    const double pi = 3.14159265358979323846;
    PowerModuleHandle module = powerModule_createOnBackend(POWER_BACKEND_CPU);
    if (module == NULL) {
        fprintf(stderr, "no CPU module\n");
        return 1;
    }
    ASSERT_OK(beginUpdate(module));
    ASSERT_OK(setSampleRate(module, 10000.0, 1));
    ASSERT_OK(setBufferLength(module, 4 * kWindow));
    ASSERT_OK(setCurrentEnabled(module, false));
    ASSERT_OK(setIecHarmonicsEnabled(module, true));
    ASSERT_OK(endUpdate(module));

    /* Settings: out-of-range orders are rejected and change nothing. */
    int32_t order = 0;
    ASSERT_OK(getIecHarmonicsHighestOrder(module, &order));
    ASSERT_TRUE(order == 50);
    ASSERT_REJECTED(setIecHarmonicsHighestOrder(module, 0));
    ASSERT_REJECTED(setIecHarmonicsHighestOrder(module, 51));
    char message[256] = "";
    int32_t length = 0;
    ASSERT_OK(getLastErrorMessage(module, message, (int32_t)sizeof message, &length));
    ASSERT_TRUE(strstr(message, "setIecHarmonicsHighestOrder: order 51") != NULL);
    ASSERT_OK(getIecHarmonicsHighestOrder(module, &order));
    ASSERT_TRUE(order == 50);
    ASSERT_OK(setIecHarmonicsHighestOrder(module, 40));
    ASSERT_OK(getIecHarmonicsHighestOrder(module, &order));
    ASSERT_TRUE(order == 40);
    bool enabled = false;
    ASSERT_OK(getIecHarmonicsEnabled(module, &enabled));
    ASSERT_TRUE(enabled);
    ASSERT_REJECTED(getIecHarmonicsEnabled(module, NULL));
    ASSERT_REJECTED(getIecHarmonicsEnabled(NULL, &enabled));
    bool currents = false;
    ASSERT_OK(getIecHarmonicsCurrentsEnabled(module, &currents));
    ASSERT_TRUE(currents);
    ASSERT_OK(setIecHarmonicsCurrentsEnabled(module, false));
    ASSERT_OK(getIecHarmonicsCurrentsEnabled(module, &currents));
    ASSERT_TRUE(!currents);
    ASSERT_REJECTED(getIecHarmonicsCurrentsEnabled(module, NULL));

    ASSERT_OK(reset(module, 0));
    float* ring = NULL;
    ASSERT_OK(getWaveformBufferUInput(module, 0, &ring));
    for (int w = 0; w < kWindows && ring != NULL; ++w) {
        for (int k = 0; k < kWindow; ++k) {
            const double t = (double)(w * kWindow + k) / 10000.0;
            ring[(w * kWindow + k) % (4 * kWindow)] =
                (float)(325.0 * (sin(2.0 * pi * 50.0 * t) + 0.04 * sin(2.0 * pi * 250.0 * t)));
        }
        ASSERT_OK(writeSamples(module, kWindow));
        ASSERT_OK(scheduleForCalculation(module, (uint64_t)w * kWindow, kWindow, 50.0));
    }
    ASSERT_OK(syncCuda(module));
    PowerResultsGeneral general[kWindows];
    int32_t count = -1;
    ASSERT_OK(getResults(module, kWindows, &count, general));
    ASSERT_TRUE(count == kWindows);

    /* Retrieval: bad arguments are rejected and take nothing. */
    ASSERT_REJECTED(getIecHarmonics(module, -1, &count, NULL));
    ASSERT_REJECTED(getIecHarmonics(module, 1, &count, NULL));
    ASSERT_REJECTED(getIecHarmonics(module, 1, NULL, NULL));
    ASSERT_OK(getIecHarmonics(module, 0, &count, NULL));
    ASSERT_TRUE(count == kWindows);
    PowerIecHarmonics* records = (PowerIecHarmonics*)calloc(2, sizeof(PowerIecHarmonics));
    ASSERT_OK(getIecHarmonics(module, 2, &count, records));
    ASSERT_TRUE(count == 2);
    for (int r = 0; r < count && records != NULL; ++r) {
        const PowerIecHarmonicChannel* u = &records[r].channels[0];
        ASSERT_TRUE(records[r].firstSampleIndex == (uint64_t)r * kWindow && records[r].length == kWindow);
        ASSERT_TRUE(records[r].highestOrder == 40 && records[r].binsPerPeriod == 10);
        ASSERT_TRUE(records[r].voltageCount == 1 && records[r].currentCount == 0);
        /* 325 V peak is 229.81 V rms; float samples and transform leave about 1e-6 of it. */
        ASSERT_TRUE(fabs(u->subgroup[1] - 325.0 / sqrt(2.0)) < 2e-3);
        ASSERT_TRUE(fabs(u->group[5] - 13.0 / sqrt(2.0)) < 2e-3);
        ASSERT_TRUE(fabs(u->thds - 4.0) < 1e-4 && fabs(u->thdg - 4.0) < 1e-4);
        ASSERT_TRUE(u->subgroup[41] == 0.0 && records[r].channels[3].subgroup[1] == 0.0);
    }
    ASSERT_OK(getIecHarmonics(module, 0, &count, NULL));
    ASSERT_TRUE(count == 1);

    /* Disabling forgets the waiting records; retrieval is then rejected. */
    ASSERT_OK(setIecHarmonicsEnabled(module, false));
    ASSERT_REJECTED(getIecHarmonics(module, 0, &count, NULL));
    free(records);
    ASSERT_OK(powerModule_destroy(module));
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("grouped harmonic analysis from C: all checks passed\n");
    return 0;
}
