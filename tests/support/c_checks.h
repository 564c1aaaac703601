/*
 * Checks shared by the C tests (compiled as C): a failed check prints its
 * place and condition and counts, so that one run reports every failure;
 * main returns the count.
 */
#ifndef POWERGPU_TEST_C_CHECKS_H
#define POWERGPU_TEST_C_CHECKS_H

#include <stdio.h>

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

#endif
