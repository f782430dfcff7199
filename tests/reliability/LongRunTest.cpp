// The long runs, short: power cycles with every configuration register of
// both functions as before the first, hot-plug cycles with the kernel's
// accounting back at its baseline after each. voxen-soak runs them long.
#include <gtest/gtest.h>

#include "sim/kernel/Scheduler.h"
#include "tests/support/CaseName.h"
#include "tools/voxen-soak/Soak.h"

namespace {

struct PowerCase {
    const char* name;
    soak::Switch by;
    uint64_t cycles;  // a cycle saves and restores 8 KB through 4096 requests: the other methods fewer
};

class ShortPowerCycles : public ::testing::TestWithParam<PowerCase> {};

TEST_P(ShortPowerCycles, LeaveEveryRegisterAsItWas) {
    soak::Figures figures = soak::PowerCycles(GetParam().cycles, GetParam().by);
    EXPECT_EQ(figures.cycles, GetParam().cycles);
    for (const std::string& line : figures.drift) ADD_FAILURE() << line;
    // Each cycle waits for the device to answer after its power-on.
    EXPECT_GE(figures.virtualTime, static_cast<int64_t>(GetParam().cycles) * 20 * sim::kMillisecond);
}

INSTANTIATE_TEST_SUITE_P(Table, ShortPowerCycles,
                         ::testing::Values(PowerCase{"Dsm", soak::Switch::Dsm, 50},
                                           PowerCase{"HidBoard", soak::Switch::HidBoard, 10},
                                           PowerCase{"SerialRts", soak::Switch::SerialRts, 10}),
                         test::CaseName());

TEST(ShortHotPlugCycles, LeaveThePoolReferencesHandlesAndMdlsAtTheirBaseline) {
    soak::Figures figures = soak::HotPlugCycles(50);
    EXPECT_EQ(figures.cycles, 50u);
    for (const std::string& line : figures.drift) ADD_FAILURE() << line;
}

}  // namespace
