// The flicker records cross the library boundary byte for byte; their
// layout is a contract with every caller, checked here field by field.
#include <cstddef>

#include "powergpu.h"

#define POWERGPU_CHECK_FLICKER_OFFSET(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "::" #field " moved")

static_assert(sizeof(PowerFlickerPinst) == 32, "PowerFlickerPinst size");
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPinst, firstSampleIndex, 0);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPinst, length, 8);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPinst, channel, 12);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPinst, mean, 16);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPinst, max, 24);

static_assert(sizeof(PowerFlickerPst) == 80, "PowerFlickerPst size");
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPst, firstSampleIndex, 0);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPst, length, 8);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPst, pst, 16);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPst, p01, 24);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPst, p1s, 32);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPst, p3s, 40);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPst, p10s, 48);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPst, p50s, 56);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPst, coverage, 64);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPst, channel, 72);
POWERGPU_CHECK_FLICKER_OFFSET(PowerFlickerPst, complete, 73);
