// Which devices AddDevice admits as bridges, and what admission makes.
#include <gtest/gtest.h>

#include <functional>

#include "filter/BridgeList.h"
#include "common/Roles.h"
#include "pci/Config.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"

namespace {

using sim::MachineSpec;
using sim::PciFunction;
using sim::PciFunctionSpec;

struct AdmissionCase {
    const char* name;
    std::function<void(PciFunctionSpec&)> shape;       // changes to a root port's description
    std::function<void(PciFunction&)> poke = nullptr;  // changes to its registers before boot
    bool admitted;
};

class Admission : public ::testing::TestWithParam<AdmissionCase> {};

TEST_P(Admission, FiltersOnlyPciExpressBridges) {
    const AdmissionCase& c = GetParam();
    PciFunctionSpec port = sim::RootPort("00:1c.0", 1);
    c.shape(port);
    test::ResetDriverGlobals();
    sim::Machine machine(MachineSpec{1, false, {port}});
    if (c.poke) c.poke(*machine.Function("00:1c.0"));
    ASSERT_EQ(machine.Boot(DriverEntry), STATUS_SUCCESS);

    FilterDevice* filter = test::FilterOf(machine, "00:1c.0");
    EXPECT_EQ(filter != nullptr, c.admitted);
    EXPECT_EQ(DriverGlobals.BridgeCount, c.admitted ? 1u : 0u);
    EXPECT_EQ(test::DriverDeviceCount(), c.admitted ? 2u : 1u) << "the control device, and the filter if any";
    EXPECT_TRUE(machine.Shutdown().empty());
}

void Loop(PciFunction& port) {
    port.Poke8(0x34, 0x40);
    port.Poke8(0x40, 0x05);
    port.Poke8(0x41, 0x50);
    port.Poke8(0x50, 0x01);
    port.Poke8(0x51, 0x40);  // back to the first
}

INSTANTIATE_TEST_SUITE_P(
    Table, Admission,
    ::testing::Values(
        AdmissionCase{"PciExpressBridge", [](PciFunctionSpec&) {}, nullptr, true},
        AdmissionCase{"ExpressCapabilityAlone", [](PciFunctionSpec& s) { s.capabilities.clear(); }, nullptr, true},
        AdmissionCase{"ConventionalBridge", [](PciFunctionSpec& s) { s.pciExpress = false; }, nullptr, false},
        AdmissionCase{"NotABridgeClass", [](PciFunctionSpec& s) { s.baseClass = 0x03; }, nullptr, false},
        AdmissionCase{"HostBridgeSubclass", [](PciFunctionSpec& s) { s.subClass = 0x00; }, nullptr, false},
        AdmissionCase{"NoVendor", [](PciFunctionSpec& s) { s.vendorId = 0xFFFF; }, nullptr, false},
        AdmissionCase{"NoDeviceId", [](PciFunctionSpec& s) { s.deviceId = 0xFFFF; }, nullptr, false},
        AdmissionCase{"ConfigurationUnreadable", [](PciFunctionSpec& s) { s.failConfigRequests = true; }, nullptr,
                      false},
        AdmissionCase{"CapabilityListLoops", [](PciFunctionSpec&) {}, Loop, false},
        AdmissionCase{"FirstCapabilityPointerZero", [](PciFunctionSpec&) {},
                      [](PciFunction& port) { port.Poke8(0x34, 0x00); }, false}),
    test::CaseName());

TEST(CapabilityWalk, ALoopedListEndsAfter255Entries) {
    test::ResetDriverGlobals();
    sim::Machine machine(MachineSpec{1, false, {sim::RootPort("00:1c.0", 1)}});
    Loop(*machine.Function("00:1c.0"));
    PDEVICE_OBJECT pdo = nullptr;
    int reads = 0;
    machine.Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind == sim::IrpEvent::Kind::Dispatch && event.device == pdo && event.minor == IRP_MN_READ_CONFIG)
            ++reads;
    });
    ASSERT_EQ(machine.LoadFilter(DriverEntry), STATUS_SUCCESS);
    pdo = nullptr;
    machine.Os().Pnp().RegisterDriver("VoxenPCI", [&](PDEVICE_OBJECT device) {
        pdo = device;
        return AddDevice(machine.Filter(), device);
    });
    machine.EnumerateDevices();
    // Vendor, device, class and subclass; the first pointer; then an ID and a next pointer per entry.
    EXPECT_EQ(reads, 4 + 1 + 2 * 255);
    EXPECT_EQ(DriverGlobals.BridgeCount, 0u);
    EXPECT_TRUE(machine.Shutdown().empty());
}

TEST(Admission, PlacesTheFilterOnTopOfTheBridgeStackAndRecordsIt) {
    auto machine = test::Boot(MachineSpec{1, false, {sim::RootPort("00:1c.0", 1)}});
    std::vector<PDEVICE_OBJECT> stack = machine->Stack(machine->Function("00:1c.0"));
    ASSERT_EQ(stack.size(), 3u) << "PDO, bridge function driver, our filter";
    EXPECT_EQ(stack[0]->DriverObject, machine->Pci().Driver());
    EXPECT_EQ(stack[2]->DriverObject, machine->Filter());
    FilterDevice* bridge = FilterFromDevice(stack[2]);
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(bridge->DeviceObject, stack[2]);
    EXPECT_EQ(bridge->Pdo, stack[0]);
    EXPECT_EQ(bridge->LowerDevice, stack[1]);
    EXPECT_EQ(bridge->DeviceType, static_cast<ULONG>(FILE_DEVICE_BUS_EXTENDER));
    EXPECT_EQ(bridge->VendorId, 0x8086);
    EXPECT_EQ(bridge->DeviceId, 0xA110);
    EXPECT_EQ(bridge->Parent, nullptr);
    EXPECT_EQ(stack[2]->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(test::Bridges(), std::vector<FilterDevice*>{bridge});
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(Admission, RecordsNestedBridgesInTheOrderTheyAreFound) {
    PciFunctionSpec downstream = sim::RootPort("01:00.0", 2);
    downstream.name = "switch port";
    downstream.deviceId = 0x1234;
    auto machine = test::Boot(MachineSpec{1, false,
                                          {sim::RootPort("00:1c.0", 1), sim::RootPort("00:1d.0", 3), downstream,
                                           sim::Endpoint("02:00.0", "display", 0x03)}});
    std::vector<FilterDevice*> bridges = test::Bridges();
    ASSERT_EQ(bridges.size(), 3u);
    EXPECT_EQ(bridges[0], test::FilterOf(*machine, "00:1c.0"));
    EXPECT_EQ(bridges[1], test::FilterOf(*machine, "01:00.0")) << "found while the first port was enumerated";
    EXPECT_EQ(bridges[2], test::FilterOf(*machine, "00:1d.0"));
    FilterDevice* endpoint = test::FilterOf(*machine, "02:00.0");
    ASSERT_NE(endpoint, nullptr) << "a child filter, placed by the switch port";
    EXPECT_EQ(endpoint->Parent, bridges[1]);
    EXPECT_EQ(bridges[0]->GetChild(0), bridges[1]) << "the switch port is the root port's child and a bridge too";
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(Admission, ABridgeThatAlreadyHasOurFilterIsRecordedWithoutASecondDeviceObject) {
    auto machine = test::Boot(MachineSpec{1, false, {sim::RootPort("00:1c.0", 1)}});
    FilterDevice* bridge = test::FilterOf(*machine, "00:1c.0");
    size_t devices = test::DriverDeviceCount();

    EXPECT_EQ(AddDevice(machine->Filter(), machine->Function("00:1c.0")->pdo), STATUS_SUCCESS);

    EXPECT_EQ(test::DriverDeviceCount(), devices);
    EXPECT_EQ(test::Bridges(), (std::vector<FilterDevice*>{bridge, bridge}));
    EXPECT_EQ(machine->Stack(machine->Function("00:1c.0")).size(), 3u);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(Admission, SafeModeAdmitsNothingAndLeavesTheRegistryAlone) {
    auto machine = test::Boot(MachineSpec{1, true, {sim::RootPort("00:1c.0", 1)}});
    EXPECT_TRUE(DriverGlobals.Disabled);
    EXPECT_EQ(DriverGlobals.BridgeCount, 0u);
    EXPECT_EQ(test::FilterOf(*machine, "00:1c.0"), nullptr);
    EXPECT_NE(DriverGlobals.ControlDevice, nullptr);
    EXPECT_TRUE(machine->Os().Registry().Accesses().empty());
    EXPECT_TRUE(machine->Shutdown().empty());
}

struct ShortageCase {
    const char* name;
    const char* tag;  // pool tag whose allocations fail during AddDevice
};

class AdmissionShortage : public ::testing::TestWithParam<ShortageCase> {};

TEST_P(AdmissionShortage, LeavesTheBridgeWithoutAFilterAndLeaksNothing) {
    test::ResetDriverGlobals();
    sim::Machine machine(MachineSpec{1, false, {sim::RootPort("00:1c.0", 1)}});
    ASSERT_EQ(machine.LoadFilter(DriverEntry), STATUS_SUCCESS);
    char tag[5] = {};
    std::memcpy(tag, GetParam().tag, 4);
    ULONG failing = sim::MakeTag(reinterpret_cast<const char(&)[5]>(tag));
    NTSTATUS returned = STATUS_UNSUCCESSFUL;
    machine.Os().Pnp().RegisterDriver("VoxenPCI", [&](PDEVICE_OBJECT pdo) {
        machine.Os().Memory().FailTag(failing, true);
        returned = AddDevice(machine.Filter(), pdo);
        machine.Os().Memory().FailTag(failing, false);
        return returned;
    });
    machine.EnumerateDevices();

    EXPECT_EQ(returned, STATUS_SUCCESS) << "AddDevice never fails the Plug and Play manager";
    EXPECT_EQ(test::FilterOf(machine, "00:1c.0"), nullptr);
    EXPECT_EQ(DriverGlobals.BridgeCount, 0u);
    EXPECT_EQ(test::DriverDeviceCount(), 1u);
    EXPECT_TRUE(machine.Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, AdmissionShortage,
                         ::testing::Values(ShortageCase{"NoListNode", "DNXV"}, ShortageCase{"NoFilterObject", "Vxnd"},
                                           ShortageCase{"NoDeviceObject", "Devi"}),
                         test::CaseName());

}  // namespace
