// Device interfaces and their notifications: arrival and removal in the
// Plug and Play notification thread at PASSIVE_LEVEL, existing interfaces on
// request, the name gone before the removal is told, opens by name counted by
// removal; and the other Plug and Play IRPs a stack gets from the manager.
#include <gtest/gtest.h>

#include "sim/machine/Machine.h"
#include "tests/support/TestDriver.h"

namespace {

using test::TestDriver;

const auto kStopped = ::testing::ExitedWithCode(sim::kViolationExitCode);

const GUID kClass = {0x1a2b3c4d, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

struct Heard {
    std::string event;
    std::wstring link;
    std::string thread;
    KIRQL irql;
    NTSTATUS lookup;  // opening the link by name from inside the callback
};

NTSTATUS Listen(PVOID structure, PVOID context) {
    auto* notification = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(structure);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS lookup = IoGetDeviceObjectPointer(notification->SymbolicLinkName, FILE_ALL_ACCESS, &file, &device);
    if (NT_SUCCESS(lookup)) ObfDereferenceObject(file);
    static_cast<std::vector<Heard>*>(context)->push_back(
        Heard{IsEqualGUID(notification->Event, GUID_DEVICE_INTERFACE_ARRIVAL) ? "arrival" : "removal",
              sim::FromUnicodeString(notification->SymbolicLinkName),
              sim::Kernel::Current().Threads().CurrentThreadName(), KeGetCurrentIrql(), lookup});
    return STATUS_SUCCESS;
}

// A started test device with an interface of kClass registered on its PDO.
struct InterfaceDevice {
    InterfaceDevice() : bus(L"\\Driver\\bus"), listener(L"\\Driver\\listener") {
        pdo = test::AddTestPdo(bus, "device with an interface");
        node = sim::Kernel::Current().Pnp().AddDevice(pdo, nullptr);
        EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &link), STATUS_SUCCESS);
    }
    ~InterfaceDevice() { RtlFreeUnicodeString(&link); }
    TestDriver bus;
    TestDriver listener;
    PDEVICE_OBJECT pdo;
    sim::PnpManager::DeviceNode* node;
    UNICODE_STRING link{};
};

TEST(Interfaces, ArrivalAndRemovalAreToldInTheNotificationThreadWithTheNameGoneFirst) {
    sim::Kernel kernel;
    InterfaceDevice device;
    std::vector<Heard> heard;
    PVOID entry = nullptr;
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, const_cast<GUID*>(&kClass),
                                             device.listener.Object(), Listen, &heard, &entry),
              STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&device.link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&device.link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_TRUE(heard.empty()) << "told later, in another thread";
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(IoSetDeviceInterfaceState(&device.link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&device.link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    kernel.Threads().RunUntilIdle();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].event, "arrival");
    EXPECT_EQ(heard[0].lookup, STATUS_SUCCESS) << "an enabled interface opens by its name";
    EXPECT_EQ(heard[1].event, "removal");
    EXPECT_EQ(heard[1].lookup, STATUS_OBJECT_NAME_NOT_FOUND) << "the link is gone before the removal is told";
    for (const Heard& one : heard) {
        EXPECT_EQ(one.thread, "Plug and Play notification");
        EXPECT_EQ(one.irql, PASSIVE_LEVEL);
        EXPECT_EQ(one.link, sim::FromUnicodeString(&device.link));
    }
    EXPECT_NE(sim::ToNarrow(heard[0].link).find("{1a2b3c4d-0001-0002-0102-030405060708}"), std::string::npos);
    IoUnregisterPlugPlayNotification(entry);
    kernel.Pnp().RemoveAll();
}

TEST(Interfaces, ExistingInterfacesAreToldOnlyWhenAskedFor) {
    sim::Kernel kernel;
    InterfaceDevice device;
    IoSetDeviceInterfaceState(&device.link, TRUE);
    std::vector<Heard> withExisting, withoutExisting;
    PVOID first = nullptr, second = nullptr;
    IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                   PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES, const_cast<GUID*>(&kClass),
                                   device.listener.Object(), Listen, &withExisting, &first);
    IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, const_cast<GUID*>(&kClass),
                                   device.listener.Object(), Listen, &withoutExisting, &second);
    kernel.Threads().RunUntilIdle();
    ASSERT_EQ(withExisting.size(), 1u);
    EXPECT_EQ(withExisting[0].event, "arrival");
    EXPECT_TRUE(withoutExisting.empty());
    // Removing the device disables what its drivers left enabled.
    kernel.Pnp().RemoveAll();
    kernel.Threads().RunUntilIdle();
    ASSERT_EQ(withoutExisting.size(), 1u);
    EXPECT_EQ(withoutExisting[0].event, "removal");
    IoUnregisterPlugPlayNotification(first);
    IoUnregisterPlugPlayNotification(second);
}

TEST(Interfaces, AnOpenByNameIsAFileOnTheStackThatVetoesRemoval) {
    sim::Kernel kernel;
    InterfaceDevice device;
    IoSetDeviceInterfaceState(&device.link, TRUE);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&device.link, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(file->DeviceObject, device.pdo);
    sim::PnpManager::Outcome outcome = kernel.Pnp().Remove(device.node);
    EXPECT_NE(outcome.veto.find("outstanding open"), std::string::npos) << outcome.veto;
    ObfDereferenceObject(file);
    EXPECT_TRUE(kernel.Pnp().Remove(device.node).done);
    kernel.Threads().RunUntilIdle();
}

TEST(InterfacesDeathTest, RegisteringAnInterfaceOnADeviceThatIsNoPdo) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            InterfaceDevice device;
            TestDriver filters(L"\\Driver\\filter");
            PDEVICE_OBJECT filter = filters.AddDevice(test::PassDown(&device.pdo), device.pdo);
            UNICODE_STRING link;
            IoRegisterDeviceInterface(filter, &kClass, nullptr, &link);
        },
        kStopped, "0xCA, invalid PDO\\): IoRegisterDeviceInterface with device object");
}

TEST(InterfacesDeathTest, RegisteringForNotificationsAbovePassiveLevel) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver driver;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            PVOID entry = nullptr;
            IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, const_cast<GUID*>(&kClass),
                                           driver.Object(), Listen, nullptr, &entry);
        },
        kStopped, "IoRegisterPlugPlayNotification called at DISPATCH_LEVEL; it may be called at PASSIVE_LEVEL at most");
}

TEST(LeakReport, NamesANotificationNeverUnregistered) {
    sim::Kernel kernel;
    TestDriver driver(L"\\Driver\\forgetful");
    PVOID entry = nullptr;
    IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, const_cast<GUID*>(&kClass), driver.Object(),
                                   Listen, nullptr, &entry);
    std::vector<std::string> leaks = kernel.Shutdown();
    ASSERT_EQ(leaks.size(), 1u) << ::testing::PrintToString(leaks);
    EXPECT_EQ(leaks[0], "a device interface change notification registered by \\Driver\\forgetful was never unregistered");
}

// What a stack hears from the manager at enumeration, on a machine without the filter.
TEST(Enumeration, AsksEveryNewStackForItsIdsAndCapabilitiesBeforeAndAfterStart) {
    sim::MachineSpec spec{1, false, {sim::RootPort("00:1c.0", 1), sim::Endpoint("01:00.0", "display", 0x03)}};
    sim::Machine machine(spec);
    std::vector<std::string> seen;
    machine.Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind != sim::IrpEvent::Kind::Dispatch || event.major != IRP_MJ_PNP) return;
        sim::PciFunction* function = machine.Pci().FindByPdo(event.device);
        if (!function || function->Location().Text() != "01:00.0") return;
        switch (event.minor) {
        case IRP_MN_QUERY_ID: seen.push_back(sim::Format("id %d", event.location->Parameters.QueryId.IdType)); break;
        case IRP_MN_QUERY_CAPABILITIES: seen.push_back("capabilities"); break;
        case IRP_MN_START_DEVICE: seen.push_back("start"); break;
        default: break;
        }
    });
    machine.EnumerateDevices();
    machine.Os().Io().SetObserver(nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"id 0", "id 3", "id 1", "id 2", "capabilities", "start", "capabilities"}));
    sim::PnpManager::DeviceNode* node = machine.Os().Pnp().FindByPdo(machine.Function("01:00.0")->pdo);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->InstancePath(), L"PCI\\VEN_10DE&DEV_1C8D\\01&00&0");
    EXPECT_EQ(node->capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(node->capabilities.Address, 0u);
    EXPECT_TRUE(machine.Shutdown().empty());
}

TEST(EnumerationDeathTest, AnIdWithACommaStopsTheMachine) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver bus(L"\\Driver\\bus");
            PDEVICE_OBJECT pdo = test::AddTestPdo(bus, "bad,name");  // the instance ID carries its name
            kernel.Pnp().AddDevice(pdo, nullptr);
        },
        kStopped, "0xCA, 0x3, 2: invalid ID\\): the instance ID of bad,name holds character 0x2C");
}

// A paging file on a storage stack: the disk's driver and the PCI PDO leave
// DO_POWER_PAGABLE while it is there, and take it back after.
TEST(Paging, TheStorageStackIsNotPageableWhileItHoldsAPagingFile) {
    sim::PciFunctionSpec disk = sim::Endpoint("01:00.0", "disk", 0x01);
    disk.storage = true;
    sim::Machine machine(sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), disk}});
    machine.EnumerateDevices();
    std::vector<PDEVICE_OBJECT> stack = machine.Stack(machine.Function("01:00.0"));
    ASSERT_EQ(stack.size(), 2u);
    auto pageable = [&] {
        std::vector<bool> flags;
        for (PDEVICE_OBJECT device : stack) flags.push_back((device->Flags & DO_POWER_PAGABLE) != 0);
        return flags;
    };
    EXPECT_EQ(pageable(), (std::vector<bool>{true, true}));
    machine.Paging("01:00.0", true);
    machine.Settle();
    EXPECT_EQ(machine.LastPagingStatus(), STATUS_SUCCESS);
    EXPECT_EQ(pageable(), (std::vector<bool>{false, false}));
    machine.Paging("01:00.0", false);
    machine.Settle();
    EXPECT_EQ(pageable(), (std::vector<bool>{true, true}));
    EXPECT_TRUE(machine.Shutdown().empty());
}

}  // namespace
