#include "module/PowerGridConfig.h"

namespace powergpu {

PowerGridConfig::PowerGridConfig(PowerGridConfigType type_, uint8_t phases, uint8_t voltages, uint8_t currents,
                                 bool delta)
    : type(type_),
      phasesCount(phases),
      voltagesCount(voltages),
      currentsCount(currents),
      lineToLineCount(static_cast<uint8_t>(phases * (phases - 1) / 2)),
      isStar(!delta),
      isDelta(delta),
      notDelta(!delta),
      fewerVoltagesThanPhases(static_cast<int>(phases) - static_cast<int>(voltages) > 0),
      fewerCurrentsThanPhases(static_cast<int>(phases) - static_cast<int>(currents) > 0) {}

namespace {

PowerGridConfigTable buildGridConfigs() {
    PowerGridConfigTable table;
    const auto add = [&table](PowerGridConfigType type, uint8_t phases, uint8_t voltages, uint8_t currents,
                              bool delta) { table.emplace(type, PowerGridConfig(type, phases, voltages, currents, delta)); };
    add(SinglePhase, 1, 1, 1, false);
    add(ThreePhaseStar, 3, 3, 3, false);
    add(ThreePhaseStarTwoCurrents, 3, 3, 2, false);
    add(ThreePhaseDelta, 3, 3, 3, true);
    add(ThreePhaseDeltaTwoCurrents, 3, 3, 2, true);
    add(TwoPhase, 2, 2, 2, false);
    add(ThreePhaseDeltaTwoVoltagesTwoCurrents, 3, 2, 2, true);
    add(SinglePhaseSecondary, 1, 1, 1, false);
    return table;
}

}  // namespace

extern "C" const PowerGridConfigTable powerGridConfigs = buildGridConfigs();

PowerGridConfig lookupGridConfig(PowerGridConfigType type) {
    const auto found = powerGridConfigs.find(type);
    return found == powerGridConfigs.end() ? PowerGridConfig() : found->second;
}

}  // namespace powergpu
