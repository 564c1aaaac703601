/*
 * The 10-s frequency driven from C through the public header: the record's
 * layout as C sees it, a rejected clock time, and one interval of 50 Hz
 * cycles of 20 ms starting 5 s into the clock, taken into the caller's own
 * records.
 */
#include <math.h>
#include <stddef.h>
#include <stdio.h>

#include "powergpu.h"
#include "support/c_checks.h"

_Static_assert(sizeof(PowerTenSecondFrequency) == 48, "PowerTenSecondFrequency size");
_Static_assert(offsetof(PowerTenSecondFrequency, frequency) == 8 &&
                   offsetof(PowerTenSecondFrequency, cycleDuration) == 16 &&
                   offsetof(PowerTenSecondFrequency, index) == 24 &&
                   offsetof(PowerTenSecondFrequency, cycleCount) == 28 &&
                   offsetof(PowerTenSecondFrequency, invalidCycleCount) == 32 &&
                   offsetof(PowerTenSecondFrequency, straddlingCycleCount) == 36 &&
                   offsetof(PowerTenSecondFrequency, flagged) == 40,
               "PowerTenSecondFrequency layout");

enum { kCycles = 300, kCycle = 20 };

int main(void) {
    PowerModuleHandle module = openCpuModule(1000.0, 2000);
    if (module == NULL) {
        return 1;
    }
    ASSERT_OK(setCurrentEnabled(module, false));
    ASSERT_OK(setPeriodValuesEnabled(module, true));
    ASSERT_OK(endUpdate(module));
    ASSERT_OK(setTenSecondFrequencyEnabled(module, true));
    ASSERT_TRUE(setClockTimeAtSampleIndexZero(module, NAN) == POWER_STATUS_UNKNOWN_ERROR);
    ASSERT_OK(setClockTimeAtSampleIndexZero(module, 5.0));
    ASSERT_OK(reset(module, 0));

    /* Cycle 249 ends on the 10-s boundary; the rest lie in the next interval. */
    ASSERT_OK(scheduleEqualCycles(module, kCycles, kCycle, 50.0));
    int32_t count = -1;
    ASSERT_OK(getTenSecondFrequencies(module, 0, &count, NULL));
    ASSERT_TRUE(count == 1);
    ASSERT_TRUE(getTenSecondFrequencies(module, -1, &count, NULL) == POWER_STATUS_UNKNOWN_ERROR);
    ASSERT_TRUE(getTenSecondFrequencies(module, 1, &count, NULL) == POWER_STATUS_UNKNOWN_ERROR);
    PowerTenSecondFrequency records[4];
    ASSERT_OK(getTenSecondFrequencies(module, 4, &count, records));
    ASSERT_TRUE(count == 1);
    if (count == 1) {
        ASSERT_TRUE(records[0].startTime == 0.0);
        ASSERT_TRUE(records[0].cycleCount == 250);
        ASSERT_TRUE(fabs(records[0].frequency - 50.0) < 1e-9);
        ASSERT_TRUE(records[0].cycleDuration == 5.0);
        ASSERT_TRUE(records[0].flagged == 0);
    }
    ASSERT_OK(powerModule_destroy(module));
    return finish("ten-second frequency from C: all checks passed");
}
