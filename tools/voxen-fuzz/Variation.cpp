#include "tools/voxen-fuzz/Variation.h"

namespace fuzz {

void Vary(Source& source, sim::MachineSpec* spec) {
    // Half the boots run the machine as described.
    if (source.Percent(50)) return;
    for (sim::PciFunctionSpec& function : spec->functions) {
        sim::PowerBehavior& power = function.power;
        switch (source.Below(8)) {
        case 0: power.completion = sim::PowerBehavior::Completion::AtOnce; break;
        case 1:
            power.completion = sim::PowerBehavior::Completion::Later;
            power.delay = source.Below(50) * sim::kMillisecond;
            break;
        case 2:
            power.completion = sim::PowerBehavior::Completion::Fail;
            power.failStatus = source.Percent(50) ? STATUS_UNSUCCESSFUL : STATUS_DEVICE_BUSY;
            break;
        default: break;
        }
        power.refuseQuery = source.Percent(15);
        function.busDriverCompletesFromDpc |= source.Percent(15);
        function.functionDriverCompletesFromDpc |= source.Percent(15);
        // As Windows's audio drivers often are; the bus driver's PDO below follows.
        if (!function.IsBridge() && source.Percent(10)) function.pageable = false;
    }
}

}  // namespace fuzz
