/*
 * The flicker extensions driven from C through the public header and the
 * shared library: record layouts, settings with rejected values, a 1600 Hz
 * single-phase sine with the reference fluctuation (8.8 Hz, 0.250 %) whose
 * Pinst peaks at 1, fetched in small pieces, and refused calls.
 */
#include <math.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "powergpu.h"
#include "support/c_checks.h"

enum { kRate = 1600, kRing = 8000, kBlock = 800, kSeconds = 9 };

int main(void) {
    ASSERT_TRUE(sizeof(PowerFlickerPinst) == 32 && offsetof(PowerFlickerPinst, mean) == 16);
    ASSERT_TRUE(sizeof(PowerFlickerPst) == 80 && offsetof(PowerFlickerPst, coverage) == 64 &&
                offsetof(PowerFlickerPst, complete) == 73);
    PowerModuleHandle module = openCpuModule(kRate, kRing);
    if (module == NULL) {
        return 1;
    }
    ASSERT_OK(setGridConfigType(module, SinglePhase));
    ASSERT_OK(setFlickerEnabled(module, true));
    ASSERT_OK(setFlickerLamp(module, POWER_FLICKER_LAMP_230V));
    ASSERT_OK(setFlickerSystemFrequency(module, 50.0));
    ASSERT_OK(setFlickerIntervalStart(module, 0));
    ASSERT_REJECTED(setFlickerLamp(module, 7));
    ASSERT_REJECTED(setFlickerSystemFrequency(module, 0.0));
    ASSERT_OK(endUpdate(module));

    uint8_t channels = 0;
    ASSERT_OK(getFlickerChannelsCount(module, &channels));
    ASSERT_TRUE(channels == 1);

    ASSERT_OK(reset(module, 0));
    float* u = NULL;
    ASSERT_OK(getWaveformBufferUInput(module, 0, &u));
    if (u == NULL) {
        return 1;
    }
    const double pi = 3.14159265358979323846;
    double largest = 0.0;
    int32_t fetched = 0;
    PowerFlickerPinst pinst[7];
    for (uint64_t written = 0; written < (uint64_t)kSeconds * kRate; written += kBlock) {
        for (uint64_t k = written; k < written + kBlock; ++k) {
            const double t = (double)k / kRate;
            const double envelope = 1.0 + 0.5 * 0.0025 * sin(2.0 * pi * 8.8 * t);
            u[k % kRing] = (float)(230.0 * sqrt(2.0) * envelope * sin(2.0 * pi * 50.0 * t));
        }
        ASSERT_OK(writeSamples(module, kBlock));
        int32_t count = 0;
        do {
            ASSERT_OK(getFlickerPinst(module, 0, 7, &count, pinst));
            for (int32_t k = 0; k < count; ++k) {
                ASSERT_TRUE(pinst[k].channel == 0 && pinst[k].length == 16 && pinst[k].max >= pinst[k].mean);
                if (pinst[k].max > largest) {
                    largest = pinst[k].max;
                }
            }
            fetched += count;
        } while (count == 7);
    }
    /* A half cycle to learn the level, 5 s of settling, then 10 ms blocks
       from 5.01 s to 9 s. */
    ASSERT_TRUE(fetched == 399);
    ASSERT_TRUE(fabs(largest - 1.0) < 0.02);

    int32_t count = -1;
    PowerFlickerPst pst[2];
    ASSERT_OK(getFlickerPst(module, 0, 2, &count, pst));
    ASSERT_TRUE(count == 0); /* no interval has ended yet */
    ASSERT_REJECTED(getFlickerPst(module, 1, 2, &count, pst));
    ASSERT_REJECTED(getFlickerPst(module, 0, -1, &count, pst));
    ASSERT_REJECTED(getFlickerPst(module, 0, 2, NULL, pst));
    ASSERT_REJECTED(getFlickerPinst(module, 0, 2, &count, NULL));
    ASSERT_REJECTED(getFlickerPinst(NULL, 0, 2, &count, pinst));
    char message[256];
    int32_t length = 0;
    ASSERT_REJECTED(getFlickerPinst(module, 3, 2, &count, pinst));
    ASSERT_OK(getLastErrorMessage(module, message, (int32_t)sizeof message, &length));
    ASSERT_TRUE(strstr(message, "channel 3") != NULL);

    ASSERT_OK(powerModule_destroy(module));
    printf("largest Pinst %.4f over %d blocks\n", largest, (int)fetched);
    return finish("flicker from C: all checks passed");
}
