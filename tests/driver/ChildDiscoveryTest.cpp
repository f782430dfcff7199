// Bus relations turn into child filters; device-relations queries are refused
// while a child is switched off.
#include <gtest/gtest.h>

#include "common/Roles.h"
#include "control/Protocol.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"
#include "tests/support/TestDriver.h"

namespace {

sim::MachineSpec Laptop() {
    sim::PciFunctionSpec audio = sim::Endpoint("01:00.1", "audio", 0x04);
    audio.deviceId = 0x10F1;
    return sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), sim::Endpoint("01:00.0", "display", 0x03), audio}};
}

std::string Hex(const void* pointer) { return sim::Format("%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer))); }

// A child recorded from bus relations is not a device node of the manager's
// until the manager takes it in: its PDO has no properties to read yet (bug
// check 0xCA). A request naming its location meanwhile finds no such child.
TEST(ChildDiscovery, AChildTheManagerHasNotTakenInIsAtNoLocationYet) {
    auto machine = test::Boot(Laptop());
    machine->Unplug("01:00.1");
    machine->Settle();
    FilterDevice* bridge = test::FilterOf(*machine, "00:1c.0");
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(machine->Os().Io().Open(L"\\\\.\\VoxenPCI", GENERIC_READ | GENERIC_WRITE, sim::Caller::Administrator, &file),
              STATUS_SUCCESS);
    const ULONG request[6] = {1, 0, 1, PowerDeviceD0, 2, 0};  // 01:00.1, a mode that switches nothing
    auto send = [&] {
        ULONG_PTR information = 0;
        return machine->Os().Io().DeviceIoControl(file, IOCTL_SET_CHILD_POWER, request, sizeof(request), nullptr, 0,
                                                  &information);
    };
    std::vector<NTSTATUS> meanwhile;
    machine->Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind == sim::IrpEvent::Kind::Return && event.device == bridge->DeviceObject &&
            event.major == IRP_MJ_PNP && event.minor == IRP_MN_QUERY_DEVICE_RELATIONS && bridge->GetChildCount() == 2 &&
            meanwhile.empty())
            meanwhile.push_back(send());
    });
    machine->Plug("01:00.1");
    machine->Settle();
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_EQ(meanwhile, std::vector<NTSTATUS>{STATUS_INVALID_PARAMETER});
    EXPECT_EQ(send(), STATUS_SUCCESS) << "taken in, it is found";
    machine->Os().Io().CloseHandle(file);
    machine->Settle();
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(ChildDiscovery, PlacesAFilterDirectlyAboveEachChildPdoBeneathItsFunctionDriver) {
    auto machine = test::Boot(Laptop());
    FilterDevice* bridge = test::FilterOf(*machine, "00:1c.0");
    ASSERT_EQ(bridge->GetChildCount(), 2u);
    for (const char* location : {"01:00.0", "01:00.1"}) {
        std::vector<PDEVICE_OBJECT> stack = machine->Stack(machine->Function(location));
        ASSERT_EQ(stack.size(), 3u) << location;
        EXPECT_EQ(stack[1]->DriverObject, machine->Filter()) << location << ": our filter right above the PDO";
        EXPECT_EQ(sim::ToNarrow(sim::FromUnicodeString(&stack[2]->DriverObject->DriverName)), "\\Driver\\function");
        FilterDevice* child = FilterFromDevice(stack[1]);
        EXPECT_EQ(child->Parent, bridge);
        EXPECT_EQ(child->Pdo, stack[0]);
        EXPECT_EQ(child->DeviceType, static_cast<ULONG>(stack[0]->DeviceType)) << "the PDO's device type";
    }
    EXPECT_EQ(bridge->GetChild(0), test::FilterOf(*machine, "01:00.0"));
    EXPECT_EQ(bridge->GetChild(1), test::FilterOf(*machine, "01:00.1"));
    EXPECT_EQ(test::FilterOf(*machine, "01:00.1")->DeviceId, 0x10F1);
    EXPECT_EQ(DriverGlobals.BridgeCount, 1u) << "children are not bridges";
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(ChildDiscovery, PrintsEveryEntryAndEachPciExpressDeviceFound) {
    sim::PciFunctionSpec legacy = sim::Endpoint("01:00.1", "conventional PCI", 0x04);
    legacy.pciExpress = false;
    auto machine = test::Boot(sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1),
                                                          sim::Endpoint("01:00.0", "display", 0x03), legacy}});
    PDEVICE_OBJECT display = machine->Function("01:00.0")->pdo;
    PDEVICE_OBJECT conventional = machine->Function("01:00.1")->pdo;
    const std::vector<std::string>& lines = machine->Os().Debug().Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], ",Objects[0]=0x" + Hex(display) + " ,Objects[1]=0x" + Hex(conventional) + " ****");
    EXPECT_EQ(lines[1], "found a PCI device in the DEVICE_RELATIONS struct, DevObj[0]=0x" + Hex(display));
    EXPECT_EQ(test::FilterOf(*machine, "01:00.1"), nullptr) << "no PCI Express capability, no filter";
    EXPECT_EQ(test::FilterOf(*machine, "00:1c.0")->GetChildCount(), 1u);
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(ChildDiscovery, AKnownChildListedAgainGetsNoSecondFilter) {
    auto machine = test::Boot(Laptop());
    machine->Os().Debug().Clear();
    size_t devices = test::DriverDeviceCount();
    machine->Rescan("00:1c.0");
    machine->Settle();
    EXPECT_EQ(test::DriverDeviceCount(), devices);
    EXPECT_EQ(test::FilterOf(*machine, "00:1c.0")->GetChildCount(), 2u);
    const std::vector<std::string>& lines = machine->Os().Debug().Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], "We alleady have that child in our ChildDevicesList, skip");
    EXPECT_EQ(lines[4], "We alleady have that child in our ChildDevicesList, skip");
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(ChildDiscovery, AChildThatIsABridgeIsAdmittedAsABridgeWithTheSameFilter) {
    sim::PciFunctionSpec downstream = sim::RootPort("01:00.0", 2);
    auto machine = test::Boot(sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), downstream,
                                                          sim::Endpoint("02:00.0", "display", 0x03)}});
    std::vector<PDEVICE_OBJECT> stack = machine->Stack(machine->Function("01:00.0"));
    ASSERT_EQ(stack.size(), 3u) << "PDO, our filter, the bridge function driver: no second filter";
    FilterDevice* filter = FilterFromDevice(stack[1]);
    EXPECT_EQ(test::Bridges(), (std::vector<FilterDevice*>{test::FilterOf(*machine, "00:1c.0"), filter}));
    EXPECT_EQ(filter->Parent, test::FilterOf(*machine, "00:1c.0"));
    ASSERT_EQ(filter->GetChildCount(), 1u) << "it sees its bus relations on their way back up";
    EXPECT_EQ(filter->GetChild(0), test::FilterOf(*machine, "02:00.0"));
    EXPECT_TRUE(machine->Shutdown().empty());
}

struct ShortageCase {
    const char* name;
    const char* tag;
};

class ChildShortage : public ::testing::TestWithParam<ShortageCase> {};

TEST_P(ChildShortage, LeavesThatChildWithoutAFilterAndGoesOn) {
    test::ResetDriverGlobals();
    sim::Machine machine(Laptop());
    ASSERT_EQ(machine.LoadFilter(DriverEntry), STATUS_SUCCESS);
    machine.EnumerateDevices();
    machine.Eject("01:00.0");
    machine.Settle();
    // The ejected child's node went back to the bridge's lookaside cache: take
    // the cache away, so that the next node has to come from pool.
    FilterDevice* bridge = test::FilterOf(machine, "00:1c.0");
    std::vector<PVOID> cached;
    while (bridge->ChildNodes.CachedCount) cached.push_back(ExAllocateFromPagedLookasideList(&bridge->ChildNodes));
    machine.Plug("01:00.0");
    char tag[5] = {};
    std::memcpy(tag, GetParam().tag, 4);
    machine.Os().Memory().FailTag(sim::MakeTag(reinterpret_cast<const char(&)[5]>(tag)), true);
    machine.Settle();
    machine.Os().Memory().FailTag(sim::MakeTag(reinterpret_cast<const char(&)[5]>(tag)), false);
    EXPECT_EQ(test::FilterOf(machine, "01:00.0"), nullptr);
    EXPECT_EQ(machine.Stack(machine.Function("01:00.0")).size(), 2u) << "the device itself still works";
    EXPECT_EQ(test::FilterOf(machine, "00:1c.0")->GetChildCount(), 1u);
    for (PVOID node : cached) ExFreeToPagedLookasideList(&bridge->ChildNodes, node);
    EXPECT_TRUE(machine.Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ChildShortage,
                         ::testing::Values(ShortageCase{"NoListNode", "DNXV"}, ShortageCase{"NoFilterObject", "Vxnd"}),
                         test::CaseName());

struct RelationCase {
    const char* name;
    DEVICE_RELATION_TYPE type;
};

class RelationsWhileAChildIsInD3 : public ::testing::TestWithParam<RelationCase> {};

TEST_P(RelationsWhileAChildIsInD3, AreRefusedWithRetryAndNotPassedDown) {
    auto machine = test::Boot(Laptop());
    sim::PnpManager& pnp = machine->Os().Pnp();
    sim::PnpManager::DeviceNode* port = pnp.FindByPdo(machine->Function("00:1c.0")->pdo);
    auto query = [&](ULONG_PTR* information) {
        return pnp.Send(port, IRP_MN_QUERY_DEVICE_RELATIONS, information,
                        [&](PIO_STACK_LOCATION location) { location->Parameters.QueryDeviceRelations.Type = GetParam().type; });
    };
    int reachedPdo = 0;
    machine->Os().Io().SetObserver([&](const sim::IrpEvent& event) {
        if (event.kind == sim::IrpEvent::Kind::Dispatch && event.device == machine->Function("00:1c.0")->pdo &&
            event.minor == IRP_MN_QUERY_DEVICE_RELATIONS)
            ++reachedPdo;
    });

    ULONG_PTR information = 0;
    NTSTATUS passed = query(&information);
    EXPECT_EQ(reachedPdo, 1) << "no child in D3: the query goes down";
    if (GetParam().type == BusRelations) {
        ASSERT_EQ(passed, STATUS_SUCCESS);
        auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
        for (ULONG i = 0; i < relations->Count; ++i) ObfDereferenceObject(relations->Objects[i]);
        ExFreePool(relations);
    }

    test::FilterOf(*machine, "01:00.1")->DevicePowerState = PowerDeviceD3;
    information = 0xDEAD;
    EXPECT_EQ(query(&information), STATUS_RETRY);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(reachedPdo, 1) << "the lower drivers never see it";

    test::FilterOf(*machine, "01:00.1")->DevicePowerState = PowerDeviceD0;
    machine->Os().Io().SetObserver(nullptr);
    EXPECT_TRUE(machine->Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, RelationsWhileAChildIsInD3,
                         ::testing::Values(RelationCase{"Bus", BusRelations}, RelationCase{"Removal", RemovalRelations},
                                           RelationCase{"Ejection", EjectionRelations},
                                           RelationCase{"Power", PowerRelations}),
                         test::CaseName());

TEST(Relations, ABridgeWithNoChildrenPassesEveryQueryDown) {
    auto machine = test::Boot(sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1)}});
    sim::PnpManager& pnp = machine->Os().Pnp();
    sim::PnpManager::DeviceNode* port = pnp.FindByPdo(machine->Function("00:1c.0")->pdo);
    for (DEVICE_RELATION_TYPE type : {RemovalRelations, EjectionRelations, PowerRelations}) {
        ULONG_PTR information = 0;
        EXPECT_EQ(pnp.Send(port, IRP_MN_QUERY_DEVICE_RELATIONS, &information,
                           [&](PIO_STACK_LOCATION location) { location->Parameters.QueryDeviceRelations.Type = type; }),
                  STATUS_NOT_SUPPORTED)
            << "answered by nobody, as the bus driver leaves it";
    }
    EXPECT_TRUE(machine->Shutdown().empty());
}

TEST(DeviceControl, OnAFilterGoesDownTheStackAndCompletesWithItsAnswer) {
    auto machine = test::Boot(Laptop());
    PDEVICE_OBJECT child = test::FilterOf(*machine, "01:00.0")->DeviceObject;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK block{};
    ULONG value = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(0x32C004, child, &value, sizeof value, &value, sizeof value, FALSE,
                                             &event, &block);
    EXPECT_EQ(IoCallDriver(child, irp), STATUS_INVALID_DEVICE_REQUEST) << "the PCI bus driver does not know it";
    EXPECT_EQ(block.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(machine->Shutdown().empty());
}

// A nested bridge's filter sits on the bridge's PDO, under the PCI bus
// driver's function device, which has put its relations list in the IRP by
// the time the filter sees it. Refusing the query must not lose that list or
// the references it holds.
TEST(Relations, ARefusedQueryUnderANestedBridgeReleasesTheListFromAbove) {
    auto machine = test::Boot(sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), sim::RootPort("01:00.0", 2),
                                                          sim::Endpoint("02:00.0", "display", 0x03)}});
    FilterDevice* nested = test::FilterOf(*machine, "01:00.0");
    ASSERT_EQ(nested->GetChildCount(), 1u);
    nested->GetChild(0)->DevicePowerState = PowerDeviceD3;
    sim::PnpManager& pnp = machine->Os().Pnp();
    ULONG_PTR information = 0xDEAD;
    EXPECT_EQ(pnp.Send(pnp.FindByPdo(machine->Function("01:00.0")->pdo), IRP_MN_QUERY_DEVICE_RELATIONS, &information,
                       [](PIO_STACK_LOCATION location) { location->Parameters.QueryDeviceRelations.Type = BusRelations; }),
              STATUS_RETRY);
    EXPECT_EQ(information, 0u);
    nested->GetChild(0)->DevicePowerState = PowerDeviceD0;
    std::vector<std::string> leaks = machine->Shutdown();
    EXPECT_TRUE(leaks.empty()) << ::testing::PrintToString(leaks);
}

// An endpoint's function driver reports children of its own (a hub, codecs,
// disks). They are no PCI devices: the endpoint's filter must not read their
// configuration space or place filters on them.
TEST(Relations, OnlyABridgeTurnsBusRelationsIntoChildren) {
    auto machine = test::Boot(Laptop());
    FilterDevice* audioFilter = test::FilterOf(*machine, "01:00.1");
    size_t devices = test::DriverDeviceCount();
    int configReads = 0;
    {
        test::TestDriver codecBus(L"\\Driver\\codecbus");
        PDEVICE_OBJECT codec = codecBus.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_READ_CONFIG) ++configReads;
            NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        });
        // The audio function driver's answer, put in the IRP on its way down.
        PDEVICE_OBJECT top = machine->Stack(machine->Function("01:00.1")).back();
        test::TestDriver reporter(L"\\Driver\\reporter");
        PDEVICE_OBJECT lower = top;
        reporter.AddDevice(
            [&](PDEVICE_OBJECT, PIRP irp) {
                PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
                if (location->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
                    location->Parameters.QueryDeviceRelations.Type == BusRelations) {
                    auto* relations =
                        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), sim::MakeTag("Codc")));
                    relations->Count = 1;
                    relations->Objects[0] = codec;
                    ObfReferenceObject(codec);
                    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
                    irp->IoStatus.Status = STATUS_SUCCESS;
                }
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(lower, irp);
            },
            top);
        sim::PnpManager& pnp = machine->Os().Pnp();
        ULONG_PTR information = 0;
        ASSERT_EQ(pnp.Send(pnp.FindByPdo(machine->Function("01:00.1")->pdo), IRP_MN_QUERY_DEVICE_RELATIONS, &information,
                           [](PIO_STACK_LOCATION location) { location->Parameters.QueryDeviceRelations.Type = BusRelations; }),
                  STATUS_SUCCESS);
        auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
        ASSERT_NE(relations, nullptr);
        EXPECT_EQ(relations->Count, 1u) << "passed on as it came";
        ObfDereferenceObject(relations->Objects[0]);
        ExFreePool(relations);
    }
    EXPECT_EQ(configReads, 0);
    EXPECT_EQ(audioFilter->GetChildCount(), 0u);
    EXPECT_EQ(test::DriverDeviceCount(), devices);
    EXPECT_TRUE(machine->Shutdown().empty());
}

struct DispatchLevelRequest {
    NTSTATUS status = STATUS_PENDING;
    KIRQL completedAt = PASSIVE_LEVEL;
    int completions = 0;
};

NTSTATUS RecordAndFree(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<DispatchLevelRequest*>(context);
    request->status = irp->IoStatus.Status;
    request->completedAt = KeGetCurrentIrql();
    ++request->completions;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Internal device-control requests may be sent at DISPATCH_LEVEL, where the
// filter cannot wait for the bus driver, which here completes from a DPC.
TEST(DeviceControl, AtDispatchLevelGoesDownWithoutWaiting) {
    sim::PciFunctionSpec display = sim::Endpoint("01:00.0", "display", 0x03);
    display.busDriverCompletesFromDpc = true;
    auto machine = test::Boot(sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), display}});
    PDEVICE_OBJECT child = test::FilterOf(*machine, "01:00.0")->DeviceObject;
    DispatchLevelRequest request;
    PIRP irp = IoAllocateIrp(child->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = 0x220003;
    IoSetCompletionRoutine(irp, RecordAndFree, &request, TRUE, TRUE, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(IoCallDriver(child, irp), STATUS_PENDING);
    KeLowerIrql(old);
    machine->Settle();
    EXPECT_EQ(request.completions, 1);
    EXPECT_EQ(request.status, STATUS_INVALID_DEVICE_REQUEST) << "the bus driver's answer";
    EXPECT_EQ(request.completedAt, DISPATCH_LEVEL);
    EXPECT_TRUE(machine->Shutdown().empty());
}

}  // namespace
