// Removal as the Plug and Play manager runs it: relations and notifications
// before the query, the vetoes (a driver, a notification callback, a file
// still open), cancel-remove, surprise removal whose removal IRP waits for the
// last close, and the device tree's hold on its PDOs.
#include <gtest/gtest.h>

#include "tests/support/TestDriver.h"

namespace {

using test::CompleteWith;
using test::TestDriver;

const auto kStopped = ::testing::ExitedWithCode(sim::kViolationExitCode);

const char* EventName(const GUID& event) {
    if (IsEqualGUID(event, GUID_TARGET_DEVICE_QUERY_REMOVE)) return "query-remove";
    if (IsEqualGUID(event, GUID_TARGET_DEVICE_REMOVE_CANCELLED)) return "remove-cancelled";
    if (IsEqualGUID(event, GUID_TARGET_DEVICE_REMOVE_COMPLETE)) return "remove-complete";
    return "?";
}

std::string MinorName(UCHAR minor, const IO_STACK_LOCATION* location) {
    switch (minor) {
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        switch (location->Parameters.QueryDeviceRelations.Type) {
        case RemovalRelations: return "removal relations";
        case EjectionRelations: return "ejection relations";
        default: return "";
        }
    default: return "";
    }
}

// A device of a test bus with a function driver above it, in the device
// tree, and someone who holds it open and listens for its removal.
class Device {
public:
    // `answer` decides the function driver's reply to IRP_MN_QUERY_REMOVE_DEVICE.
    explicit Device(sim::Kernel& kernel, NTSTATUS answer = STATUS_SUCCESS)
        : kernel_(kernel), bus_(L"\\Driver\\bus"), function_(L"\\Driver\\function") {
        pdo = test::AddTestPdo(bus_, "test device");
        node = kernel.Pnp().AddDevice(pdo, nullptr);
        fdo = function_.AddDevice(
            [this, answer](PDEVICE_OBJECT self, PIRP irp) {
                PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
                if (location->MajorFunction == IRP_MJ_PNP && location->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE &&
                    !NT_SUCCESS(answer))
                    return CompleteWith(answer)(self, irp);
                if (location->MajorFunction == IRP_MJ_PNP && location->MinorFunction == IRP_MN_REMOVE_DEVICE) {
                    IoSkipCurrentIrpStackLocation(irp);
                    NTSTATUS status = IoCallDriver(pdo, irp);
                    function_.Remove(self);
                    return status;
                }
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(pdo, irp);
            },
            pdo);
        kernel.Io().SetObserver([this](const sim::IrpEvent& event) {
            if (event.kind != sim::IrpEvent::Kind::Dispatch || event.major != IRP_MJ_PNP) return;
            std::string name = MinorName(event.minor, event.location);
            if (name.empty()) return;
            log.push_back((event.device == pdo ? "bus: " : "function: ") + name);
        });
    }
    ~Device() { kernel_.Io().SetObserver(nullptr); }

    // Opens the PDO by name and registers for its target-device changes. The
    // listener closes the file on query-remove when `closes`, refuses the
    // query with `refusal`, and unregisters on remove-complete.
    void Listen(bool closes, NTSTATUS refusal = STATUS_SUCCESS) {
        closes_ = closes;
        refusal_ = refusal;
        UNICODE_STRING name;
        std::wstring text = pdo->Sim->name;
        RtlInitUnicodeString(&name, text.c_str());
        PDEVICE_OBJECT top = nullptr;
        ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
        ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, file, function_.Object(),
                                                 &Device::Notified, this, &registration),
                  STATUS_SUCCESS);
    }

    void Close() {
        if (file) ObfDereferenceObject(file);
        file = nullptr;
    }

    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    sim::PnpManager::DeviceNode* node = nullptr;
    PFILE_OBJECT file = nullptr;
    PVOID registration = nullptr;
    std::vector<std::string> log;

private:
    static NTSTATUS Notified(PVOID structure, PVOID context) {
        auto* self = static_cast<Device*>(context);
        auto* notification = static_cast<PTARGET_DEVICE_REMOVAL_NOTIFICATION>(structure);
        self->log.push_back(std::string("listener: ") + EventName(notification->Event));
        if (IsEqualGUID(notification->Event, GUID_TARGET_DEVICE_QUERY_REMOVE)) {
            if (!NT_SUCCESS(self->refusal_)) return self->refusal_;
            if (self->closes_) self->Close();
        }
        if (IsEqualGUID(notification->Event, GUID_TARGET_DEVICE_REMOVE_COMPLETE)) {
            self->Close();
            IoUnregisterPlugPlayNotification(self->registration);
            self->registration = nullptr;
        }
        return STATUS_SUCCESS;
    }

    sim::Kernel& kernel_;
    TestDriver bus_;
    TestDriver function_;
    bool closes_ = true;
    NTSTATUS refusal_ = STATUS_SUCCESS;
};

TEST(OrderlyRemoval, AsksRelationsAndListenersBeforeTheQueryIrp) {
    sim::Kernel kernel;
    Device device(kernel);
    device.Listen(true);
    sim::PnpManager::Outcome outcome = kernel.Pnp().Remove(device.node);
    EXPECT_TRUE(outcome.done) << outcome.veto;
    EXPECT_EQ(device.log, (std::vector<std::string>{"function: ejection relations", "bus: ejection relations",
                                                    "function: removal relations", "bus: removal relations",
                                                    "listener: query-remove", "function: IRP_MN_QUERY_REMOVE_DEVICE",
                                                    "bus: IRP_MN_QUERY_REMOVE_DEVICE", "listener: remove-complete",
                                                    "function: IRP_MN_REMOVE_DEVICE", "bus: IRP_MN_REMOVE_DEVICE"}));
    EXPECT_TRUE(device.node->removed);
}

struct VetoCase {
    const char* name;
    bool listenerCloses;
    NTSTATUS listenerRefusal;
    NTSTATUS driverAnswer;
    const char* veto;
    std::vector<std::string> log;  // from the listener's query on
};

class Vetoes : public ::testing::TestWithParam<VetoCase> {};

TEST_P(Vetoes, CancelTheRemovalAndRemoveNothing) {
    const VetoCase& c = GetParam();
    sim::Kernel kernel;
    Device device(kernel, c.driverAnswer);
    device.Listen(c.listenerCloses, c.listenerRefusal);
    sim::PnpManager::Outcome outcome = kernel.Pnp().Remove(device.node);
    EXPECT_FALSE(outcome.done);
    EXPECT_NE(outcome.veto.find(c.veto), std::string::npos) << outcome.veto;
    std::vector<std::string> fromQuery(device.log.begin() + 4, device.log.end());  // past the relations queries
    EXPECT_EQ(fromQuery, c.log);
    EXPECT_FALSE(device.node->removed);
    EXPECT_EQ(device.pdo->AttachedDevice, device.fdo) << "the stack is as it was";
    // Once the reason is gone the device can be removed.
    device.Close();
    IoUnregisterPlugPlayNotification(device.registration);
    EXPECT_EQ(kernel.Pnp().Remove(device.node).done, NT_SUCCESS(c.driverAnswer));
    kernel.Pnp().RemoveAll();  // shutdown removes what a driver still refuses to give up
}

INSTANTIATE_TEST_SUITE_P(
    Table, Vetoes,
    ::testing::Values(
        VetoCase{"AFileKeptOpenAcrossTheQuery", false, STATUS_SUCCESS, STATUS_SUCCESS, "outstanding open",
                 {"listener: query-remove", "listener: remove-cancelled"}},
        VetoCase{"AListenerThatRefuses", true, STATUS_UNSUCCESSFUL, STATUS_SUCCESS,
                 "query-remove notification callback of \\Driver\\function refused with 0xC0000001",
                 {"listener: query-remove", "listener: remove-cancelled"}},
        VetoCase{"ADriverThatFailsTheQuery", true, STATUS_SUCCESS, STATUS_UNSUCCESSFUL,
                 "IRP_MN_QUERY_REMOVE_DEVICE of test device failed with 0xC0000001",
                 {"listener: query-remove", "function: IRP_MN_QUERY_REMOVE_DEVICE",
                  "function: IRP_MN_CANCEL_REMOVE_DEVICE", "bus: IRP_MN_CANCEL_REMOVE_DEVICE",
                  "listener: remove-cancelled"}}),
    [](const ::testing::TestParamInfo<VetoCase>& param) { return std::string(param.param.name); });

TEST(OrderlyRemoval, TakesTheDevicesItsRemovalRelationsNameAlong) {
    sim::Kernel kernel;
    TestDriver bus(L"\\Driver\\bus");
    PDEVICE_OBJECT dependent = test::AddTestPdo(bus, "dependent");
    sim::PnpManager::DeviceNode* dependentNode = kernel.Pnp().AddDevice(dependent, nullptr);
    PDEVICE_OBJECT main = test::AddTestPdo(bus, "main", [&](PDEVICE_OBJECT self, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        if (location->MajorFunction == IRP_MJ_PNP && location->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
            location->Parameters.QueryDeviceRelations.Type == RemovalRelations) {
            auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), sim::MakeTag("Trel")));
            relations->Count = 1;
            relations->Objects[0] = dependent;
            ObfReferenceObject(dependent);
            return CompleteWith(STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations))(self, irp);
        }
        bool handled = location->MajorFunction == IRP_MJ_PNP && location->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE;
        return CompleteWith(handled ? STATUS_SUCCESS : irp->IoStatus.Status)(self, irp);
    });
    sim::PnpManager::DeviceNode* mainNode = kernel.Pnp().AddDevice(main, nullptr);
    EXPECT_TRUE(kernel.Pnp().Remove(mainNode).done);
    EXPECT_TRUE(mainNode->removed);
    EXPECT_TRUE(dependentNode->removed) << "a removal relation goes with the device";
    EXPECT_EQ(sim::Kernel::Current().Objects().References(dependent), 1) << "only its creation reference is left";
}

TEST(SurpriseRemoval, SendsTheRemovalIrpOnlyOnceTheLastFileIsClosed) {
    sim::Kernel kernel;
    Device device(kernel);
    device.Listen(false);
    // The listener keeps its file past remove-complete this time.
    PFILE_OBJECT kept = device.file;
    ObfReferenceObject(kept);
    kernel.Pnp().SurpriseRemove(device.node);
    EXPECT_EQ(device.log, (std::vector<std::string>{"function: IRP_MN_SURPRISE_REMOVAL", "bus: IRP_MN_SURPRISE_REMOVAL",
                                                    "listener: remove-complete"}))
        << "no query first, and no removal while a file is open";
    EXPECT_FALSE(device.node->removed);
    ObfDereferenceObject(kept);
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(device.log.back(), "bus: IRP_MN_REMOVE_DEVICE");
    EXPECT_TRUE(device.node->removed);
}

TEST(SurpriseRemovalDeathTest, ADriverThatLeavesTheStackBeforeTheRemovalIrp) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver bus(L"\\Driver\\bus");
            TestDriver filters(L"\\Driver\\hasty");
            PDEVICE_OBJECT pdo = test::AddTestPdo(bus, "test device");
            sim::PnpManager::DeviceNode* node = kernel.Pnp().AddDevice(pdo, nullptr);
            PDEVICE_OBJECT filter = filters.AddDevice(test::PassDown(&pdo), pdo);
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, pdo->Sim->name.c_str());
            PFILE_OBJECT file = nullptr;
            PDEVICE_OBJECT top = nullptr;
            IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top);
            kernel.Pnp().SurpriseRemove(node);
            filters.Remove(filter);  // gone before the last close
            ObfDereferenceObject(file);
            kernel.Threads().RunUntilIdle();
        },
        kStopped, "left the stack of test device after IRP_MN_SURPRISE_REMOVAL, before IRP_MN_REMOVE_DEVICE");
}

TEST(RemovalDeathTest, ReleaseAndWaitWithAnIrpInFlightHangsAtOnce) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver bus(L"\\Driver\\bus");
            TestDriver function(L"\\Driver\\function");
            PDEVICE_OBJECT pdo = test::AddTestPdo(bus, "test device");
            sim::PnpManager::DeviceNode* node = kernel.Pnp().AddDevice(pdo, nullptr);
            IO_REMOVE_LOCK lock;
            IoInitializeRemoveLock(&lock, sim::MakeTag("Lock"), 0, 0);
            function.AddDevice(
                [&](PDEVICE_OBJECT, PIRP irp) {
                    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
                    if (location->MajorFunction == IRP_MJ_FLUSH_BUFFERS) {
                        IoAcquireRemoveLock(&lock, irp);  // held until the flush completes: never
                        IoMarkIrpPending(irp);
                        return STATUS_PENDING;
                    }
                    if (location->MajorFunction == IRP_MJ_PNP && location->MinorFunction == IRP_MN_REMOVE_DEVICE) {
                        IoAcquireRemoveLock(&lock, irp);
                        IoReleaseRemoveLockAndWait(&lock, irp);
                    }
                    IoSkipCurrentIrpStackLocation(irp);
                    return IoCallDriver(pdo, irp);
                },
                pdo);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK status;
            IoCallDriver(IoGetAttachedDevice(pdo), IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, IoGetAttachedDevice(pdo), nullptr, 0, nullptr, &event, &status));
            kernel.Pnp().Queue([&] { kernel.Pnp().Remove(node); });
            kernel.Threads().RunUntilIdle();
        },
        kStopped, "hang: thread 'Plug and Play manager' is blocked on IoReleaseRemoveLockAndWait");
}

// A bus whose device `parent` reports `child` in its bus relations, with a
// reference of its own when `references`.
void EnumerateChild(sim::Kernel& kernel, TestDriver& bus, PDEVICE_OBJECT* child, bool references, bool deleteFirst) {
    PDEVICE_OBJECT parent = test::AddTestPdo(bus, "parent", [&, child, references](PDEVICE_OBJECT self, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        if (location->MajorFunction == IRP_MJ_PNP && location->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
            location->Parameters.QueryDeviceRelations.Type == BusRelations) {
            auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), sim::MakeTag("Trel")));
            relations->Count = 1;
            relations->Objects[0] = *child;
            if (references) ObfReferenceObject(*child);
            return CompleteWith(STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations))(self, irp);
        }
        bool handled = location->MajorFunction == IRP_MJ_PNP && location->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE;
        return CompleteWith(handled ? STATUS_SUCCESS : irp->IoStatus.Status)(self, irp);
    });
    *child = test::AddTestPdo(bus, "child");
    if (deleteFirst) {
        ObfReferenceObject(*child);  // kept alive, but deleted
        bus.Remove(*child);
    }
    kernel.Pnp().AddDevice(parent, nullptr);
}

TEST(DeviceTreeDeathTest, ABusDriverThatReportsAPdoWithoutAReference) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver bus(L"\\Driver\\bus");
            PDEVICE_OBJECT child = nullptr;
            EnumerateChild(kernel, bus, &child, false, false);
            bus.Remove(child);  // its last reference: the tree's was never given
        },
        kStopped, "0xCA, 0x5: PDO freed while linked in devnode tree");
}

TEST(DeviceTreeDeathTest, ABusDriverThatReportsAPdoItDeleted) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver bus(L"\\Driver\\bus");
            PDEVICE_OBJECT child = nullptr;
            EnumerateChild(kernel, bus, &child, true, true);
        },
        kStopped, "0xCA, 0x4: invalid enumeration of deleted PDO");
}

TEST(DeviceReferences, ADeletedDeviceLivesUntilItsLastReference) {
    sim::Kernel kernel;
    TestDriver driver;
    PDEVICE_OBJECT device = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
    ObfReferenceObject(device);  // another driver holds it
    driver.Remove(device);
    ASSERT_TRUE(kernel.Objects().IsDevice(device)) << "IoDeleteDevice of a referenced device defers the free";
    EXPECT_TRUE(device->Sim->deleted);
    EXPECT_EQ(kernel.Objects().References(device), 1);
    ObfDereferenceObject(device);
    EXPECT_FALSE(kernel.Objects().IsDevice(device));
}

TEST(DeviceReferencesDeathTest, ADriverThatCallsADeviceAfterItsLastReference) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
            ObfReferenceObject(device);
            driver.Remove(device);
            ObfDereferenceObject(device);
            test::SendBuiltRequest(IRP_MJ_FLUSH_BUFFERS, device);
        },
        kStopped, "not a device object");
}

TEST(NotificationDeathTest, ACallbackThatReturnsInsideACriticalRegion) {
    EXPECT_EXIT(
        {
            sim::Kernel kernel;
            Device device(kernel);
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, device.pdo->Sim->name.c_str());
            PDEVICE_OBJECT top = nullptr;
            IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &device.file, &top);
            TestDriver listener(L"\\Driver\\listener");
            IoRegisterPlugPlayNotification(
                EventCategoryTargetDeviceChange, 0, device.file, listener.Object(),
                [](PVOID, PVOID) {
                    KeEnterCriticalRegion();
                    return STATUS_SUCCESS;
                },
                nullptr, &device.registration);
            kernel.Pnp().Remove(device.node);
        },
        kStopped, "0xCA, 0xA: incorrect notify callback behavior");
}

}  // namespace
