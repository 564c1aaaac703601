/*
 * Checks shared by the C tests (compiled as C): a failed check prints its
 * place and condition and counts, so that one run reports every failure;
 * main returns the count.
 */
#ifndef POWERGPU_TEST_C_CHECKS_H
#define POWERGPU_TEST_C_CHECKS_H

#include <stdio.h>
#include <stdlib.h>

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
#define ASSERT_REJECTED(call) ASSERT_TRUE((call) == POWER_STATUS_UNKNOWN_ERROR)

/* A CPU module inside an open update bracket with the sample rate (one
 * position per sample) and the ring length set: the caller adds its settings
 * and ends the bracket. NULL, counted as a failure, if none can be created. */
static inline PowerModuleHandle openCpuModule(double sampleRate, uint64_t ring) {
    PowerModuleHandle module = powerModule_createOnBackend(POWER_BACKEND_CPU);
    if (module == NULL) {
        fprintf(stderr, "no module could be created on the CPU backend\n");
        ++failures;
        return NULL;
    }
    ASSERT_OK(beginUpdate(module));
    ASSERT_OK(setSampleRate(module, sampleRate, 1));
    ASSERT_OK(setBufferLength(module, ring));
    return module;
}

/* main's exit status: the count of failed checks is printed, or `passed`. */
static inline int finish(const char* passed) {
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("%s\n", passed);
    return 0;
}

/* Reports count touching cycles of `length` positions and `frequency` Hz
 * from position 0, all valid. */
static inline PowerStatusCode scheduleEqualCycles(PowerModuleHandle module, int count, int32_t length,
                                                  double frequency) {
    uint64_t* starts = (uint64_t*)malloc(sizeof(uint64_t) * (size_t)count);
    int32_t* lengths = (int32_t*)malloc(sizeof(int32_t) * (size_t)count);
    double* frequencies = (double*)malloc(sizeof(double) * (size_t)count);
    bool* valid = (bool*)malloc(sizeof(bool) * (size_t)count);
    PowerStatusCode status = POWER_STATUS_UNKNOWN_ERROR;
    if (starts != NULL && lengths != NULL && frequencies != NULL && valid != NULL) {
        for (int n = 0; n < count; ++n) {
            starts[n] = (uint64_t)n * (uint64_t)length;
            lengths[n] = length;
            frequencies[n] = frequency;
            valid[n] = true;
        }
        status = scheduleForPeriodCalculation(module, count, starts, lengths, frequencies, valid);
    }
    free(starts);
    free(lengths);
    free(frequencies);
    free(valid);
    return status;
}

#endif
