// Surprise removal, removal and hot-plug: what leaves the lists when, what
// reaches the bus driver, and what is freed.
#include <gtest/gtest.h>

#include "common/Roles.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"

namespace {

using sim::IrpEvent;

sim::MachineSpec Laptop() {
    return sim::MachineSpec{1,
                            false,
                            {sim::RootPort("00:1c.0", 1), sim::Endpoint("01:00.0", "display", 0x03),
                             sim::Endpoint("01:00.1", "audio", 0x04)}};
}

// Counts the removal IRPs that reach each PDO.
struct RemovalLog {
    std::map<PDEVICE_OBJECT, int> surprise, remove;
    void Watch(sim::Machine& machine) {
        machine.Os().Io().SetObserver([this](const IrpEvent& event) {
            if (event.kind != IrpEvent::Kind::Dispatch || event.major != IRP_MJ_PNP) return;
            if (event.minor == IRP_MN_SURPRISE_REMOVAL) ++surprise[event.device];
            if (event.minor == IRP_MN_REMOVE_DEVICE) ++remove[event.device];
        });
    }
};

TEST(SurpriseRemoval, OfAChildUnlistsItAtOnceAndTearsItDownOnlyOnRemoval) {
    auto machine = test::Boot(Laptop());
    FilterDevice* bridge = test::FilterOf(*machine, "00:1c.0");
    PDEVICE_OBJECT pdo = machine->Function("01:00.0")->pdo;
    PDEVICE_OBJECT childDevice = test::FilterOf(*machine, "01:00.0")->DeviceObject;
    RemovalLog log;
    log.Watch(*machine);
    ULONG childrenAtRemoval = 99;
    bool attachedAtRemoval = false;
    machine->Os().Io().SetObserver([&](const IrpEvent& event) {
        if (event.kind != IrpEvent::Kind::Dispatch || event.major != IRP_MJ_PNP) return;
        if (event.minor == IRP_MN_SURPRISE_REMOVAL) ++log.surprise[event.device];
        if (event.minor != IRP_MN_REMOVE_DEVICE) return;
        ++log.remove[event.device];
        if (event.device == childDevice) {  // the removal IRP reaches our filter
            childrenAtRemoval = bridge->GetChildCount();
            attachedAtRemoval = pdo->AttachedDevice == childDevice;
        }
    });

    machine->Unplug("01:00.0");
    machine->Settle();

    EXPECT_EQ(log.surprise[pdo], 1) << "the bus driver sees the surprise removal once";
    EXPECT_EQ(log.remove[pdo], 1) << "and the removal once";
    EXPECT_EQ(childrenAtRemoval, 1u) << "the child left its bridge's list at the surprise removal";
    EXPECT_TRUE(attachedAtRemoval) << "but stayed in its stack until the removal";
    EXPECT_EQ(bridge->GetChildCount(), 1u);
    EXPECT_EQ(bridge->GetChild(0), test::FilterOf(*machine, "01:00.1"));
    EXPECT_EQ(machine->Function("01:00.0")->pdo, nullptr) << "the PDO of the vanished device is gone";
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(SurpriseRemoval, OfABridgeUnlinksItFromTheBridgeList) {
    auto machine = test::Boot(sim::MachineSpec{1,
                                               false,
                                               {sim::RootPort("00:1c.0", 1), sim::RootPort("00:1d.0", 2),
                                                sim::Endpoint("01:00.0", "display", 0x03),
                                                sim::Endpoint("02:00.0", "network", 0x02)}});
    FilterDevice* second = test::FilterOf(*machine, "00:1d.0");
    ULONG bridgesAtRemoval = 99;
    PDEVICE_OBJECT portFilter = test::FilterOf(*machine, "00:1c.0")->DeviceObject;
    PDEVICE_OBJECT portPdo = machine->Function("00:1c.0")->pdo;
    std::vector<std::string> order;
    machine->Os().Io().SetObserver([&](const IrpEvent& event) {
        if (event.kind != IrpEvent::Kind::Dispatch || event.major != IRP_MJ_PNP) return;
        if (event.device == portFilter && event.minor == IRP_MN_REMOVE_DEVICE) bridgesAtRemoval = DriverGlobals.BridgeCount;
        if (event.minor == IRP_MN_SURPRISE_REMOVAL || event.minor == IRP_MN_REMOVE_DEVICE)
            if (sim::PciFunction* function = machine->Pci().FindByPdo(event.device))
                order.push_back((event.minor == IRP_MN_SURPRISE_REMOVAL ? "surprise " : "remove ") +
                                function->Location().Text());
    });

    machine->Unplug("00:1c.0");
    machine->Settle();

    EXPECT_EQ(order, (std::vector<std::string>{"surprise 01:00.0", "surprise 00:1c.0", "remove 01:00.0",
                                               "remove 00:1c.0"}))
        << "children first, the removals after every surprise removal";
    EXPECT_EQ(bridgesAtRemoval, 1u) << "unlinked at the surprise removal already";
    EXPECT_EQ(test::Bridges(), std::vector<FilterDevice*>{second});
    EXPECT_EQ(machine->Function("00:1c.0")->pdo, nullptr);
    (void)portPdo;
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(Removal, OrderlyEjectOfAChildFreesItsFilter) {
    auto machine = test::Boot(Laptop());
    RemovalLog log;
    PDEVICE_OBJECT pdo = machine->Function("01:00.1")->pdo;
    log.Watch(*machine);
    sim::TagUsage before = machine->Os().Memory().Usage(sim::MakeTag("Vxnd"));
    machine->Eject("01:00.1");
    machine->Settle();
    EXPECT_EQ(log.surprise[pdo], 0);
    EXPECT_EQ(log.remove[pdo], 1);
    EXPECT_EQ(test::FilterOf(*machine, "00:1c.0")->GetChildCount(), 1u);
    EXPECT_EQ(machine->Os().Memory().Usage(sim::MakeTag("Vxnd")).liveBlocks, before.liveBlocks - 1)
        << "the child's FilterDevice went back to pool";
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(HotPlug, AHundredCyclesOfATwoFunctionDeviceLeakNothing) {
    auto machine = test::Boot(Laptop());
    sim::Pool& pool = machine->Os().Memory();
    std::map<ULONG, sim::TagUsage> baseline = pool.UsageByTag();
    for (int cycle = 0; cycle < 100; ++cycle) {
        machine->Unplug("01:00.0");
        machine->Unplug("01:00.1");
        machine->Settle();
        ASSERT_EQ(test::FilterOf(*machine, "00:1c.0")->GetChildCount(), 0u) << "cycle " << cycle;
        machine->Plug("01:00.0");
        machine->Plug("01:00.1");
        machine->Settle();
        ASSERT_EQ(test::FilterOf(*machine, "00:1c.0")->GetChildCount(), 2u) << "cycle " << cycle;
    }
    for (const char* tag : {"Vxnd", "DNXV", "Devi", "Irp ", "PciR"}) {
        ULONG value = sim::MakeTag(*reinterpret_cast<const char(*)[5]>(tag));
        EXPECT_EQ(pool.Usage(value).liveBlocks, baseline[value].liveBlocks) << tag;
        EXPECT_EQ(pool.Usage(value).liveBytes, baseline[value].liveBytes) << tag;
    }
    EXPECT_GE(pool.Usage(sim::MakeTag("Vxnd")).allocations, baseline[sim::MakeTag("Vxnd")].allocations + 200);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(RemoveLock, RemovalWaitsForAUserThatTookTheChildFromItsList) {
    auto machine = test::Boot(Laptop());
    FilterDevice* bridge = test::FilterOf(*machine, "00:1c.0");
    PDEVICE_OBJECT childDevice = test::FilterOf(*machine, "01:00.0")->DeviceObject;
    int64_t took = -1, released = -1, removed = -1;
    USHORT vendorSeen = 0;
    machine->Os().Threads().StartThread("service", [&] {
        FilterDevice* child = AcquireChildAt(bridge, 0);
        ASSERT_NE(child, nullptr);
        took = static_cast<int64_t>(KeQueryInterruptTime());
        LARGE_INTEGER delay;
        delay.QuadPart = -10 * sim::kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        vendorSeen = child->VendorId;  // still valid: the removal waits
        released = static_cast<int64_t>(KeQueryInterruptTime());
        ReleaseFilter(child);
    });
    machine->Os().Threads().Advance(sim::kMillisecond);  // the service holds the child now
    machine->Os().Io().SetObserver([&](const IrpEvent& event) {
        if (event.kind == IrpEvent::Kind::Return && event.device == childDevice && event.minor == IRP_MN_REMOVE_DEVICE)
            removed = static_cast<int64_t>(KeQueryInterruptTime());
    });

    machine->Unplug("01:00.0");
    machine->Settle();

    EXPECT_EQ(vendorSeen, 0x10DE);
    EXPECT_EQ(released, took + 10 * sim::kMillisecond);
    EXPECT_GE(removed, released) << "the removal finished only after the user let go";
    EXPECT_EQ(AcquireChildAt(bridge, 1), nullptr) << "nothing past the end";
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(RemoveLock, ABridgeRemovedWhileARequestWalksTheListIsNeverUsedAfterItsRemoval) {
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        test::ResetDriverGlobals();
        sim::Machine machine(sim::MachineSpec{seed,
                                              false,
                                              {sim::RootPort("00:1c.0", 1), sim::RootPort("00:1d.0", 2),
                                               sim::Endpoint("02:00.0", "network", 0x02)}});
        machine.Boot(DriverEntry);
        std::vector<USHORT> seen;
        machine.Os().Threads().StartThread("service", [&] {
            for (ULONG index = 0;; ++index) {
                FilterDevice* bridge = AcquireBridgeAt(index);
                if (!bridge) break;
                LARGE_INTEGER delay;
                delay.QuadPart = -5 * sim::kMillisecond;
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
                seen.push_back(bridge->DeviceId);
                ReleaseFilter(bridge);
            }
        });
        machine.Unplug("00:1d.0");
        machine.Settle();
        EXPECT_GE(seen.size(), 1u) << "seed " << seed;
        EXPECT_LE(seen.size(), 2u) << "seed " << seed;
        for (USHORT id : seen) EXPECT_EQ(id, 0xA110) << "seed " << seed;
        EXPECT_EQ(DriverGlobals.BridgeCount, 1u);
        EXPECT_TRUE(machine.Shutdown().empty()) << "seed " << seed;
    }
}

struct LateIrpCase {
    const char* name;
    UCHAR major;
    UCHAR minor;
};

class AfterRemoval : public ::testing::TestWithParam<LateIrpCase> {};

// Someone kept a reference to the filter's device object across its removal
// and sends it an IRP: the filter answers, and nothing goes down a stack it left.
TEST_P(AfterRemoval, AnIrpIsCompletedWithDeletePending) {
    auto machine = test::Boot(Laptop());
    PDEVICE_OBJECT stale = test::FilterOf(*machine, "01:00.0")->DeviceObject;
    ObfReferenceObject(stale);
    machine->Unplug("01:00.0");
    machine->Settle();

    IO_STATUS_BLOCK result{};
    sim::IoManager& io = machine->Os().Io();
    PIRP irp = io.AllocateKernelIrp(stale->StackSize, [&](PIRP done) {
        result = done->IoStatus;
        io.ReleaseKernelIrp(done);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = GetParam().major;
    IoGetNextIrpStackLocation(irp)->MinorFunction = GetParam().minor;
    EXPECT_EQ(IoCallDriver(stale, irp), STATUS_DELETE_PENDING);
    EXPECT_EQ(result.Status, STATUS_DELETE_PENDING);
    ObfDereferenceObject(stale);
    EXPECT_TRUE(machine->Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, AfterRemoval,
                         ::testing::Values(LateIrpCase{"PlugAndPlay", IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES},
                                           LateIrpCase{"Power", IRP_MJ_POWER, IRP_MN_SET_POWER},
                                           LateIrpCase{"DeviceControl", IRP_MJ_DEVICE_CONTROL, 0},
                                           LateIrpCase{"Read", IRP_MJ_READ, 0}),
                         test::CaseName());

// The bus driver holds one IRP of a major function: inside its dispatch
// routine for 10 ms (`synchronous`), or pended until the test lets it go.
struct Parking {
    bool synchronous = false;
    static Parking* current;
    PDEVICE_OBJECT pdo = nullptr;
    UCHAR major = 0;
    PDRIVER_OBJECT driver = nullptr;
    PDRIVER_DISPATCH original = nullptr;
    PIRP parked = nullptr;

    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        Parking* self = current;
        if (device == self->pdo && IoGetCurrentIrpStackLocation(irp)->MajorFunction == self->major && !self->parked) {
            if (self->synchronous) {
                self->parked = irp;
                LARGE_INTEGER delay;
                delay.QuadPart = -10 * sim::kMillisecond;
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            }
            IoMarkIrpPending(irp);
            self->parked = irp;
            return STATUS_PENDING;
        }
        return self->original(device, irp);
    }
    void Install(PDEVICE_OBJECT device, UCHAR majorFunction) {
        current = this;
        pdo = device;
        major = majorFunction;
        driver = device->DriverObject;
        original = driver->MajorFunction[major];
        driver->MajorFunction[major] = Dispatch;
    }
    void Uninstall() { driver->MajorFunction[major] = original; }
};
Parking* Parking::current = nullptr;

struct InFlightCase {
    const char* name;
    UCHAR major;
    bool synchronous;  // the pass-through keeps nothing once its call returns
};

class InFlightDuringRemoval : public ::testing::TestWithParam<InFlightCase> {};

// A request the filter passed down is still with the bus driver when the
// device is pulled out: the filter's removal waits for it to come back, so it
// never climbs back through a filter that has left the stack.
TEST_P(InFlightDuringRemoval, HoldsTheRemovalBackUntilItReturns) {
    auto machine = test::Boot(Laptop());
    PDEVICE_OBJECT pdo = machine->Function("01:00.0")->pdo;
    PDEVICE_OBJECT filterDevice = test::FilterOf(*machine, "01:00.0")->DeviceObject;
    Parking parking;
    parking.synchronous = GetParam().synchronous;
    parking.Install(pdo, GetParam().major);

    int64_t returned = -1, removed = -1;
    NTSTATUS answer = STATUS_PENDING;
    machine->Os().Threads().StartThread("service", [&] {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK block{};
        UCHAR buffer[8] = {};
        PIRP irp = GetParam().major == IRP_MJ_READ
                       ? IoBuildSynchronousFsdRequest(IRP_MJ_READ, filterDevice, buffer, sizeof buffer, nullptr, &event,
                                                      &block)
                       : IoBuildDeviceIoControlRequest(0x220004, filterDevice, nullptr, 0, buffer, sizeof buffer, FALSE,
                                                       &event, &block);
        ASSERT_NE(irp, nullptr);
        if (IoCallDriver(filterDevice, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        answer = block.Status;
        returned = static_cast<int64_t>(KeQueryInterruptTime());
    });
    machine->Os().Threads().Advance(sim::kMillisecond);
    ASSERT_NE(parking.parked, nullptr) << "the request reached the bus driver";
    if (!parking.synchronous) machine->Os().Threads().StartThread("bus", [&] {
        LARGE_INTEGER delay;
        delay.QuadPart = -10 * sim::kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        parking.parked->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(parking.parked, IO_NO_INCREMENT);
    });
    machine->Os().Io().SetObserver([&](const IrpEvent& event) {
        if (event.kind == IrpEvent::Kind::Dispatch && event.device == pdo && event.minor == IRP_MN_REMOVE_DEVICE &&
            event.major == IRP_MJ_PNP)
            removed = static_cast<int64_t>(KeQueryInterruptTime());
    });

    machine->Unplug("01:00.0");
    machine->Settle();
    machine->Os().Io().SetObserver(nullptr);
    parking.Uninstall();

    EXPECT_EQ(answer, STATUS_SUCCESS);
    EXPECT_GE(returned, 0);
    EXPECT_GE(removed, returned) << "the removal reached the bus driver only after the request came back";
    EXPECT_TRUE(machine->Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, InFlightDuringRemoval,
                         ::testing::Values(InFlightCase{"PassThrough", IRP_MJ_READ, true},
                                           InFlightCase{"DeviceControl", IRP_MJ_DEVICE_CONTROL, false},
                                           InFlightCase{"DeviceControlHeldInDispatch", IRP_MJ_DEVICE_CONTROL, true}),
                         test::CaseName());

// A bridge whose removal comes while a child is still listed (its own removal
// still to come): the child is orphaned, and its later removal must not reach
// back into the bridge, which is gone by then.
TEST(Removal, OfABridgeOrphansAChildStillListed) {
    auto machine = test::Boot(Laptop());
    FilterDevice* child = test::FilterOf(*machine, "01:00.0");
    ASSERT_EQ(child->Parent, test::FilterOf(*machine, "00:1c.0"));
    sim::PnpManager& pnp = machine->Os().Pnp();
    ULONG_PTR information = 0;
    pnp.Queue([&] {
        pnp.Send(pnp.FindByPdo(machine->Function("00:1c.0")->pdo), IRP_MN_REMOVE_DEVICE, &information);
    });
    machine->Settle();
    EXPECT_EQ(test::FilterOf(*machine, "00:1c.0"), nullptr);
    EXPECT_EQ(DriverGlobals.BridgeCount, 0u);
    EXPECT_EQ(child->Parent, nullptr) << "orphaned";
    machine->Eject("01:00.0");
    machine->Eject("01:00.1");
    machine->Settle();
    EXPECT_EQ(test::DriverDeviceCount(), 1u) << "only the control device is left";
}

}  // namespace
