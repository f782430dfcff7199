// The FilterDevice object: its state, its device object and attachment, its child list.
#include <gtest/gtest.h>

#include <cstring>

#include "filter/FilterDevice.h"
#include "pci/Identity.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"
#include "tests/support/TestDriver.h"

namespace {

const auto kStopped = ::testing::ExitedWithCode(sim::kViolationExitCode);

sim::MachineSpec Laptop() {
    return sim::MachineSpec{1,
                            false,
                            {sim::RootPort("00:1c.0", 1), sim::Endpoint("01:00.0", "display", 0x03),
                             sim::Endpoint("01:00.1", "audio", 0x04)}};
}

// The vtable slot a virtual member function occupies (Itanium C++ ABI: a
// pointer to a virtual member holds one plus its byte offset in the table).
template <class Member>
size_t SlotOf(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(uintptr_t), "an Itanium member function pointer");
    uintptr_t raw[2];
    std::memcpy(raw, &member, sizeof raw);
    EXPECT_EQ(raw[0] % sizeof(void*), 1u) << "not a virtual function";
    return (raw[0] - 1) / sizeof(void*);
}

TEST(FilterDevice, OperationsSitInTheirSlots) {
    EXPECT_EQ(SlotOf(&FilterDevice::CreateDevice), 0u);
    EXPECT_EQ(SlotOf(&FilterDevice::Attach), 1u);
    EXPECT_EQ(SlotOf(&FilterDevice::Teardown), 2u);
    EXPECT_EQ(SlotOf(&FilterDevice::Detach), 3u);
    EXPECT_EQ(SlotOf(&FilterDevice::GetChildCount), 4u);
    EXPECT_EQ(SlotOf(&FilterDevice::GetChild), 5u);
    EXPECT_EQ(SlotOf(&FilterDevice::SetPlatformPower), 6u);
    EXPECT_EQ(SlotOf(&FilterDevice::SetDevicePower), 7u);
    EXPECT_EQ(SlotOf(&FilterDevice::QueryDevicePower), 8u);
    EXPECT_EQ(SlotOf(&FilterDevice::DispatchPower), 9u);
    EXPECT_EQ(SlotOf(&FilterDevice::DispatchPnp), 10u);
    EXPECT_EQ(SlotOf(&FilterDevice::DispatchDeviceControl), 11u);
    EXPECT_EQ(SlotOf(&FilterDevice::HandleRemove), 12u);
    EXPECT_EQ(SlotOf(&FilterDevice::ProcessBusRelations), 13u);
    EXPECT_EQ(SlotOf(&FilterDevice::IsVideoDevice), 14u);
    EXPECT_EQ(SlotOf(&FilterDevice::SaveConfigSpace), 15u);
    EXPECT_EQ(SlotOf(&FilterDevice::RestoreConfigSpace), 16u);
    EXPECT_EQ(SlotOf(&FilterDevice::AddChild), 17u);
    EXPECT_EQ(SlotOf(&FilterDevice::RemoveChild), 18u);
    EXPECT_EQ(SlotOf(&FilterDevice::SwitchPower), 19u);
}

TEST(FilterDevice, StartsPoweredOnWithNothingRecorded) {
    sim::Kernel kernel;
    test::PrepareDriverGlobals();
    FilterDevice* filter = NewFilterDevice();
    ASSERT_NE(filter, nullptr);
    EXPECT_TRUE(filter->PoweredOn);
    EXPECT_FALSE(filter->HasDsm);
    EXPECT_EQ(filter->DevicePowerState, 0u);
    EXPECT_FALSE(filter->ConfigSaved);
    EXPECT_EQ(filter->ConfigBuffer, nullptr);
    EXPECT_EQ(filter->DeviceObject, nullptr);
    EXPECT_EQ(filter->Pdo, nullptr);
    EXPECT_EQ(filter->LowerDevice, nullptr);
    EXPECT_EQ(filter->Parent, nullptr);
    EXPECT_EQ(filter->GetChildCount(), 0u);
    EXPECT_EQ(filter->GetChild(0), nullptr);
    EXPECT_FALSE(filter->BusNumberCached || filter->DeviceNumberCached || filter->FunctionNumberCached);
    EXPECT_FALSE(filter->SerialOpened);
    EXPECT_EQ(filter->SerialDeviceObject, nullptr);
    filter->Teardown();  // nothing to undo: no device was created
    filter->Teardown();
    DestroyFilterDevice(filter);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(FilterDevice, RefusesBadArgumentsToCreateDeviceAndAttach) {
    sim::Kernel kernel;
    test::PrepareDriverGlobals();
    PDRIVER_OBJECT ours = test::LoadDriver();
    test::TestDriver driver;
    PDEVICE_OBJECT pdo = driver.AddDevice(test::CompleteWith(STATUS_UNSUCCESSFUL));
    FilterDevice* filter = NewFilterDevice();
    EXPECT_EQ(filter->CreateDevice(nullptr, FILE_DEVICE_UNKNOWN), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(filter->CreateDevice(ours, FILE_DEVICE_VIDEO), STATUS_SUCCESS);
    EXPECT_EQ(filter->CreateDevice(ours, FILE_DEVICE_VIDEO), STATUS_INVALID_PARAMETER) << "already made";
    EXPECT_TRUE(filter->IsVideoDevice());
    EXPECT_EQ(*static_cast<FilterDevice**>(filter->DeviceObject->DeviceExtension), filter);
    EXPECT_EQ(filter->Attach(nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(filter->Attach(pdo), STATUS_SUCCESS);
    EXPECT_EQ(filter->VendorId, 0xFFFF) << "the configuration read failed";
    EXPECT_EQ(filter->Attach(pdo), STATUS_DEVICE_ALREADY_ATTACHED);
    filter->Teardown();
    EXPECT_EQ(filter->DeviceObject, nullptr);
    EXPECT_EQ(filter->LowerDevice, nullptr);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    filter->Teardown();
    DestroyFilterDevice(filter);
}

TEST(FilterDevice, AttachFailsWhenTheStackTakesNoMoreDevices) {
    sim::Kernel kernel;
    test::PrepareDriverGlobals();
    PDRIVER_OBJECT ours = test::LoadDriver();
    test::TestDriver driver;
    PDEVICE_OBJECT pdo = driver.AddDevice(test::CompleteWith(STATUS_SUCCESS));
    pdo->Sim->refuseAttach = true;  // a stack being torn down
    FilterDevice* filter = NewFilterDevice();
    ASSERT_EQ(filter->CreateDevice(ours, FILE_DEVICE_UNKNOWN), STATUS_SUCCESS);
    EXPECT_EQ(filter->Attach(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(filter->Pdo, nullptr);
    DestroyFilterDevice(filter);
}

struct FlagCase {
    const char* name;
    ULONG lowerFlags;
    ULONG lowerCharacteristics;
    ULONG inheritedFlags;
    ULONG inheritedCharacteristics;
};

class AttachInherits : public ::testing::TestWithParam<FlagCase> {};

TEST_P(AttachInherits, TheLowerDevicesIoStyleAndSecureOpen) {
    const FlagCase& c = GetParam();
    sim::Kernel kernel;
    test::PrepareDriverGlobals();
    PDRIVER_OBJECT ours = test::LoadDriver();
    test::TestDriver driver;
    PDEVICE_OBJECT pdo = driver.AddDevice(test::CompleteWith(STATUS_UNSUCCESSFUL), nullptr, L"", c.lowerCharacteristics);
    pdo->Flags |= c.lowerFlags;
    FilterDevice* filter = NewFilterDevice();
    ASSERT_EQ(filter->CreateDevice(ours, FILE_DEVICE_UNKNOWN), STATUS_SUCCESS);
    ASSERT_EQ(filter->Attach(pdo), STATUS_SUCCESS);
    EXPECT_EQ(filter->DeviceObject->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE), c.inheritedFlags);
    EXPECT_EQ(filter->DeviceObject->Characteristics, c.inheritedCharacteristics);
    EXPECT_EQ(filter->DeviceObject->Flags & DO_DEVICE_INITIALIZING, 0u);
    DestroyFilterDevice(filter);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AttachInherits,
    ::testing::Values(FlagCase{"Nothing", 0, 0, 0, 0},
                      FlagCase{"BufferedAndPagable", DO_BUFFERED_IO | DO_POWER_PAGABLE, 0,
                               DO_BUFFERED_IO | DO_POWER_PAGABLE, 0},
                      FlagCase{"DirectOnly", DO_DIRECT_IO | DO_EXCLUSIVE, 0, DO_DIRECT_IO, 0},
                      FlagCase{"SecureOpen", 0, FILE_DEVICE_SECURE_OPEN | FILE_AUTOGENERATED_DEVICE_NAME, 0,
                               FILE_DEVICE_SECURE_OPEN}),
    test::CaseName());

TEST(FilterDevice, KeepsTheLowerDevicesAccessCheckForOpensPastItsName) {
    sim::Kernel kernel;
    test::PrepareDriverGlobals();
    PDRIVER_OBJECT ours = test::LoadDriver();
    test::TestDriver driver;
    PDEVICE_OBJECT pdo = driver.AddDevice(test::CompleteWith(STATUS_SUCCESS), nullptr, L"\\Device\\Guarded",
                                          FILE_DEVICE_SECURE_OPEN);
    pdo->Sim->rule = sim::AccessRule::AdministratorsAndSystem;
    FilterDevice* filter = NewFilterDevice();
    ASSERT_EQ(filter->CreateDevice(ours, FILE_DEVICE_UNKNOWN), STATUS_SUCCESS);
    ASSERT_EQ(filter->Attach(pdo), STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(kernel.Io().Open(L"\\Device\\Guarded\\anything", GENERIC_READ, sim::Caller::User, &file),
              STATUS_ACCESS_DENIED);
    DestroyFilterDevice(filter);
}

TEST(ChildList, KeepsChildrenInOrderAndFindsThemByIndex) {
    sim::Kernel kernel;
    test::PrepareDriverGlobals();
    FilterDevice* bridge = NewFilterDevice();
    FilterDevice* children[3] = {NewFilterDevice(), NewFilterDevice(), NewFilterDevice()};
    for (FilterDevice* child : children) bridge->AddChild(child);
    EXPECT_EQ(bridge->GetChildCount(), 3u);
    for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(bridge->GetChild(i), children[i]);
    EXPECT_EQ(bridge->GetChild(3), nullptr);
    EXPECT_EQ(bridge->GetChild(0xFFFFFFFF), nullptr);

    FilterDevice* stranger = NewFilterDevice();
    bridge->RemoveChild(stranger);
    EXPECT_EQ(bridge->GetChildCount(), 3u) << "removing an object not in the list changes nothing";

    bridge->RemoveChild(children[1]);
    EXPECT_EQ(bridge->GetChildCount(), 2u);
    EXPECT_EQ(bridge->GetChild(0), children[0]);
    EXPECT_EQ(bridge->GetChild(1), children[2]);
    bridge->RemoveChild(children[0]);
    bridge->RemoveChild(children[2]);
    EXPECT_EQ(bridge->GetChildCount(), 0u);
    for (FilterDevice* object : {children[0], children[1], children[2], stranger, bridge}) DestroyFilterDevice(object);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(ChildListDeathTest, ACorruptLinkStopsTheMachine) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            test::PrepareDriverGlobals();
            FilterDevice* bridge = NewFilterDevice();
            FilterDevice* child = NewFilterDevice();
            bridge->AddChild(child);
            PLIST_ENTRY node = bridge->ChildDevicesList.Flink;
            node->Blink = node;  // memory corrupted behind the list's back
            bridge->RemoveChild(child);
        },
        kStopped, "list entry's links are corrupt");
}

TEST(Identity, ReadsTheLocationPropertiesOnceAndKeepsThem) {
    auto machine = test::Boot(Laptop());
    FilterDevice* filter = test::FilterOf(*machine, "01:00.1");
    ASSERT_NE(filter, nullptr);
    EXPECT_FALSE(filter->BusNumberCached || filter->DeviceNumberCached || filter->FunctionNumberCached);
    EXPECT_EQ(BusNumber(filter), 1);
    EXPECT_EQ(DeviceNumber(filter), 0);
    EXPECT_EQ(FunctionNumber(filter), 1);
    EXPECT_TRUE(filter->BusNumberCached && filter->DeviceNumberCached && filter->FunctionNumberCached);
    EXPECT_EQ(filter->VendorId, 0x10DE);
    EXPECT_EQ(filter->DeviceId, 0x1C8D);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(Identity, AFailedPropertyReadIsKeptAsALocationNoDeviceHas) {
    sim::PciFunctionSpec audio = sim::Endpoint("01:00.1", "audio", 0x04);
    audio.failProperties = true;
    auto machine = test::Boot(sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), audio}});
    FilterDevice* filter = test::FilterOf(*machine, "01:00.1");
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(BusNumber(filter), 0xFF);
    EXPECT_EQ(DeviceNumber(filter), 0xFFFF);
    EXPECT_EQ(FunctionNumber(filter), 0xFFFF);
    EXPECT_TRUE(filter->BusNumberCached && filter->DeviceNumberCached && filter->FunctionNumberCached);
    EXPECT_TRUE(machine->Shutdown().empty());
}

}  // namespace
