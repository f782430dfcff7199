// The boot guard and the driver's registry values.
#include <gtest/gtest.h>

#include <optional>

#include "config/BootGuard.h"
#include "config/Registry.h"
#include "common/Roles.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"

namespace {

const std::wstring kKey = sim::ServiceKeyPath(sim::kFilterService);

struct Value {
    const wchar_t* name;
    ULONG type;
    ULONG number;  // REG_DWORD; for REG_SZ the string is its decimal text
};

void Store(sim::RegistryHive& registry, const std::vector<Value>& values) {
    for (const Value& value : values) {
        if (value.type == REG_DWORD)
            registry.SetDword(kKey, value.name, value.number);
        else
            registry.SetString(kKey, value.name, std::to_wstring(value.number));
    }
}

struct GuardCase {
    const char* name;
    std::vector<Value> stored;
    bool disabled;
    std::optional<ULONG> dcStateAfter;  // nullopt: no such value
    bool writesState;                   // the load wrote "DCState"
    UCHAR cfgRestore, polling, pollingPostAcpi;
};

class BootGuard : public ::testing::TestWithParam<GuardCase> {};

TEST_P(BootGuard, DecidesTheBootAndReadsTheFlags) {
    const GuardCase& c = GetParam();
    sim::Kernel kernel;
    Store(kernel.Registry(), c.stored);
    test::ResetDriverGlobals();
    ASSERT_EQ(sim::LoadDriver(DriverEntry, sim::kFilterService).status, STATUS_SUCCESS);

    EXPECT_EQ(DriverGlobals.Disabled != FALSE, c.disabled);
    EXPECT_EQ(kernel.Registry().GetDword(kKey, L"DCState"), c.dcStateAfter);
    bool dcStateWritten = false;
    for (const std::string& access : kernel.Registry().Accesses())
        dcStateWritten |= access.rfind("set ", 0) == 0 && access.find("DCState") != std::string::npos;
    EXPECT_EQ(dcStateWritten, c.writesState);
    EXPECT_EQ(DriverGlobals.EnableCfgRestore, c.cfgRestore);
    EXPECT_EQ(DriverGlobals.EnablePolling, c.polling);
    EXPECT_EQ(DriverGlobals.EnablePollingPostACPI, c.pollingPostAcpi);
    EXPECT_TRUE(kernel.Shutdown().empty()) << "the key was closed";
}

// Spelt out, not taken from the driver: a wrong constant there must fail here.
constexpr ULONG kOn = 0x07AADE22;
constexpr ULONG kArmed = 0x00080EA2;

INSTANTIATE_TEST_SUITE_P(
    Table, BootGuard,
    ::testing::Values(
        GuardCase{"GuardAbsentIgnoresTheFlags", {{L"EnablePolling", REG_DWORD, 0}}, false, std::nullopt, false, 1, 1, 1},
        GuardCase{"ArmedFiltersAndDisarms", {{L"EnableDC", REG_DWORD, kOn}, {L"DCState", REG_DWORD, kArmed}}, false, 0u,
                  true, 1, 1, 1},
        GuardCase{"NotArmedDisablesAndStillReadsFlags",
                  {{L"EnableDC", REG_DWORD, kOn}, {L"DCState", REG_DWORD, 0}, {L"EnablePolling", REG_DWORD, 0}},
                  true, 0u, true, 1, 0, 1},
        GuardCase{"NoStateDisables", {{L"EnableDC", REG_DWORD, kOn}}, true, 0u, true, 1, 1, 1},
        GuardCase{"OtherEnableValueIsOff", {{L"EnableDC", REG_DWORD, 1}, {L"DCState", REG_DWORD, kArmed}}, false,
                  kArmed, false, 1, 1, 1},
        GuardCase{"EnableStoredAsStringIsOff",
                  {{L"EnableDC", REG_SZ, kOn}, {L"DCState", REG_DWORD, 0}, {L"EnablePolling", REG_DWORD, 0}}, false, 0u,
                  false, 1, 1, 1},
        GuardCase{"FlagStoredAsStringIsIgnored",
                  {{L"EnableDC", REG_DWORD, kOn}, {L"DCState", REG_DWORD, kArmed}, {L"EnablePolling", REG_SZ, 0}}, false,
                  0u, true, 1, 1, 1},
        GuardCase{"EveryFlagOff",
                  {{L"EnableDC", REG_DWORD, kOn},
                   {L"DCState", REG_DWORD, kArmed},
                   {L"EnableCfgRestore", REG_DWORD, 0},
                   {L"EnablePolling", REG_DWORD, 0},
                   {L"EnablePollingPostACPI", REG_DWORD, 0}},
                  false, 0u, true, 0, 0, 0},
        GuardCase{"FlagOtherThanZeroLeavesItOn",
                  {{L"EnableDC", REG_DWORD, kOn}, {L"DCState", REG_DWORD, kArmed}, {L"EnablePolling", REG_DWORD, 2}},
                  false, 0u, true, 1, 1, 1}),
    test::CaseName());

TEST(BootGuardKey, ThatCannotBeOpenedLeavesFilteringOnAndTheFlagsAlone) {
    sim::Kernel kernel;
    test::ResetDriverGlobals();
    UNICODE_STRING missing;
    RtlInitUnicodeString(&missing, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nowhere");
    EXPECT_FALSE(CheckBootGuard(&missing));
    EXPECT_EQ(DriverGlobals.EnablePolling, 1);
    ExFreePoolWithTag(DriverGlobals.SavedRegistryPath.Buffer, sim::MakeTag("DNXV"));  // the path was still kept
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(BootGuardKey, AValueShorterThanADwordIsNoValue) {
    sim::Kernel kernel;
    unsigned char twoBytes[2] = {0x22, 0xDE};
    kernel.Registry().SetValue(kKey, L"Short", REG_DWORD, twoBytes, sizeof twoBytes);
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, kKey.c_str());
    test::ResetDriverGlobals();
    HANDLE key = OpenServiceKey(&path);
    ASSERT_NE(key, nullptr);
    ULONG value = 7;
    EXPECT_FALSE(QueryDwordValue(key, L"Short", &value));
    EXPECT_EQ(value, 7u);
    EXPECT_FALSE(QueryDwordValue(nullptr, L"Short", &value));
    EXPECT_FALSE(QueryDwordValue(key, nullptr, &value));
    EXPECT_EQ(OpenServiceKey(nullptr), nullptr);
    ZwClose(key);
    ExFreePoolWithTag(DriverGlobals.SavedRegistryPath.Buffer, sim::MakeTag("DNXV"));
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(ArmBootGuard, WritesBothValuesThroughTheSavedPath) {
    sim::Kernel kernel;
    test::ResetDriverGlobals();
    ASSERT_EQ(sim::LoadDriver(DriverEntry, sim::kFilterService).status, STATUS_SUCCESS);
    // The loader's copy of the path is gone; the driver's own copy remains.
    ArmBootGuard();
    ArmBootGuard();
    EXPECT_EQ(kernel.Registry().GetDword(kKey, L"EnableDC"), kOn);
    EXPECT_EQ(kernel.Registry().GetDword(kKey, L"DCState"), kArmed);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(ArmBootGuard, AfterASafeModeLoadWritesNothing) {
    sim::Kernel kernel(sim::KernelConfig{1, 1, {}});
    test::ResetDriverGlobals();
    ASSERT_EQ(sim::LoadDriver(DriverEntry, sim::kFilterService).status, STATUS_SUCCESS);
    ArmBootGuard();
    EXPECT_TRUE(kernel.Registry().Accesses().empty());
    EXPECT_FALSE(kernel.Registry().GetValue(kKey, L"EnableDC").has_value());
    EXPECT_TRUE(kernel.Shutdown().empty());
}

// One boot of the machine on a registry that persists across boots.
bool BootFilters(sim::RegistryHive& persistent, bool serviceArms) {
    sim::Kernel kernel;
    kernel.Registry() = persistent;
    kernel.Registry().ClearAccesses();
    test::ResetDriverGlobals();
    EXPECT_EQ(sim::LoadDriver(DriverEntry, sim::kFilterService).status, STATUS_SUCCESS);
    bool filters = !DriverGlobals.Disabled;
    if (serviceArms) ArmBootGuard();
    EXPECT_TRUE(kernel.Shutdown().empty());
    persistent = kernel.Registry();
    return filters;
}

TEST(BootGuardAcrossBoots, AnArmingAllowsExactlyTheNextBoot) {
    sim::RegistryHive persistent;
    {
        sim::Kernel installer;
        persistent = installer.Registry();
    }
    EXPECT_TRUE(BootFilters(persistent, true)) << "guard not enabled yet; the service arms it";
    EXPECT_TRUE(BootFilters(persistent, false)) << "armed by the boot before";
    EXPECT_FALSE(BootFilters(persistent, true)) << "the boot before did not arm: no filtering; this one arms";
    EXPECT_TRUE(BootFilters(persistent, true));
    EXPECT_TRUE(BootFilters(persistent, false));
    EXPECT_FALSE(BootFilters(persistent, false));
}

}  // namespace
