// Measures off one period window sample by sample in reference cycles.
#include "period/PowerPeriodResultsQueueItem.h"

namespace powergpu {

PowerPeriodResultsQueueItem::PowerPeriodResultsQueueItem(const uint64_t itemIndex, const uint64_t firstSampleIndex,
                                                         const double firstSampleFractionToUse,
                                                         const double requiredLength, const double advanceBy)
    : itemIndex(itemIndex),
      firstSampleIndex(firstSampleIndex),
      lastRequiredSampleIndex(firstSampleIndex),
      firstSampleFractionToUse(firstSampleFractionToUse),
      requiredLength(requiredLength),
      advanceBy(advanceBy) {}

}  // namespace powergpu
