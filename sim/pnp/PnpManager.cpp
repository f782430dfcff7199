#include "sim/pnp/PnpManager.h"

#include "sim/kernel/StatusNames.h"

#include <algorithm>

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

namespace {

ObjectManager& Objects() { return Kernel::Current().Objects(); }

const char* IdTypeName(BUS_QUERY_ID_TYPE type) {
    switch (type) {
    case BusQueryDeviceID: return "device ID";
    case BusQueryHardwareIDs: return "hardware IDs";
    case BusQueryCompatibleIDs: return "compatible IDs";
    case BusQueryInstanceID: return "instance ID";
    default: return "ID";
    }
}

// Bug check 0xCA parameter 3 names the ID that was wrong.
int IdTypeCode(BUS_QUERY_ID_TYPE type) {
    switch (type) {
    case BusQueryDeviceID: return 1;
    case BusQueryInstanceID: return 2;
    case BusQueryHardwareIDs: return 3;
    default: return 4;
    }
}

std::string Status(NTSTATUS status) { return Format("0x%08X", static_cast<unsigned>(status)); }

}  // namespace

void PnpManager::RegisterDriver(const std::string& service, AddDeviceRoutine addDevice) {
    drivers_[service] = std::move(addDevice);
}

void PnpManager::RegisterDriver(const std::string& service, PDRIVER_OBJECT driver) {
    drivers_[service] = [driver](PDEVICE_OBJECT pdo) {
        if (!driver->DriverExtension->AddDevice) return STATUS_SUCCESS;  // not a Plug and Play driver
        DriverScope scope(driver);
        DriverCode code;
        return driver->DriverExtension->AddDevice(driver, pdo);
    };
}

void PnpManager::RunAddDevice(const std::string& service, PDEVICE_OBJECT pdo) {
    auto it = drivers_.find(service);
    if (it == drivers_.end()) Violation("no driver named %s is installed", service.c_str());
    NTSTATUS status = it->second(pdo);
    if (!NT_SUCCESS(status))
        Violation("AddDevice of %s failed with 0x%08X; the simulated machine does not handle that", service.c_str(),
                  static_cast<unsigned>(status));
    for (PDEVICE_OBJECT device = pdo->AttachedDevice; device; device = device->AttachedDevice)
        if (device->Flags & DO_DEVICE_INITIALIZING)
            Violation("AddDevice of %s left DO_DEVICE_INITIALIZING set on %s", service.c_str(),
                      Objects().Describe(device).c_str());
}

PnpManager::DeviceNode* PnpManager::AddDevice(PDEVICE_OBJECT pdo, DeviceNode* parent) {
    auto announced = announced_.find(pdo);
    if (announced == announced_.end())
        Violation("a bus reported %p, a PDO its bus driver never announced", static_cast<void*>(pdo));
    BusInfo bus = std::move(announced->second);
    announced_.erase(announced);
    auto owned = std::make_unique<DeviceNode>();
    DeviceNode* node = owned.get();
    node->name = bus.name;
    node->pdo = pdo;
    node->parent = parent;
    node->bus = std::move(bus);
    // The device tree holds the PDO until the node leaves it.
    Objects().Reference(pdo, "the Plug and Play manager");
    if (assign_) assign_(pdo, &node->functionDriver, &node->upperFilters);
    nodes_.push_back(std::move(owned));
    if (parent) parent->children.push_back(node);
    BuildStack(node);
    return node;
}

void PnpManager::BuildStack(DeviceNode* node) {
    // Asked before any driver is loaded onto it: the stack is the PDO and
    // whatever filter a parent's driver placed on it directly.
    if (!QueryIdentity(node)) return;
    QueryCapabilities(node);
    if (!node->functionDriver.empty()) RunAddDevice(node->functionDriver, node->pdo);
    for (const std::string& filter : node->upperFilters) RunAddDevice(filter, node->pdo);
    ULONG_PTR information = 0;
    NTSTATUS status = Send(node, IRP_MN_START_DEVICE, &information);
    node->started = NT_SUCCESS(status);
    std::string stack;
    for (PDEVICE_OBJECT device = node->pdo; device; device = device->AttachedDevice)
        stack += (stack.empty() ? "" : " <- ") + ToNarrow(FromUnicodeString(&device->DriverObject->DriverName));
    Narrate(node->name + ": new device, stack " + stack + (node->started ? ", started" : ", failed to start"));
    if (!node->started) return;
    // Interfaces enabled while the stack was starting are announced now.
    for (auto& [key, entry] : interfaces_)
        if (entry.pdo == node->pdo && entry.enabled && entry.arrivalHeld) {
            entry.arrivalHeld = false;
            AnnounceInterface(entry, GUID_DEVICE_INTERFACE_ARRIVAL);
        }
    QueryCapabilities(node);  // again, as Windows asks a started stack
    Enumerate(node);
}

bool PnpManager::QueryIdentity(DeviceNode* node) {
    for (BUS_QUERY_ID_TYPE type : {BusQueryDeviceID, BusQueryInstanceID, BusQueryHardwareIDs, BusQueryCompatibleIDs}) {
        ULONG_PTR information = 0;
        NTSTATUS status = Send(node, IRP_MN_QUERY_ID, &information,
                               [type](PIO_STACK_LOCATION location) { location->Parameters.QueryId.IdType = type; });
        // A failed query leaves Information alone: a list a driver left there is its leak.
        if (!NT_SUCCESS(status)) {
            if (type == BusQueryDeviceID) {
                Narrate(node->name + ": gave no device ID (" + Status(status) + "), so no driver is loaded for it");
                return false;
            }
            if (type == BusQueryInstanceID) node->instanceId = ToWide(Format("%zu", nodes_.size()));
            continue;
        }
        auto* text = reinterpret_cast<const WCHAR*>(information);
        bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
        if (!text) {
            if (multi) continue;
            Violation("PNP_DETECTED_FATAL_ERROR (0xCA, 0x3, %d: invalid ID): the stack of %s answered its %s with "
                      "success and no string",
                      IdTypeCode(type), node->name.c_str(), IdTypeName(type));
        }
        // IDs hold characters 0x20 to 0x2B and 0x2D to 0x7F only; a list ends with an empty string.
        std::vector<std::wstring> strings;
        const WCHAR* at = text;
        do {
            std::wstring one;
            for (; *at; ++at) {
                if (*at < 0x20 || *at == 0x2C || *at > 0x7F)
                    Violation("PNP_DETECTED_FATAL_ERROR (0xCA, 0x3, %d: invalid ID): the %s of %s holds character "
                              "0x%02X; IDs may hold only characters 0x20 to 0x2B and 0x2D to 0x7F",
                              IdTypeCode(type), IdTypeName(type), node->name.c_str(), static_cast<unsigned>(*at));
                one += *at;
            }
            ++at;
            if (!one.empty()) strings.push_back(one);
            if (one.empty()) break;
        } while (multi);
        Kernel::Current().Memory().Free(const_cast<WCHAR*>(text), 0, false, "ExFreePool");
        if (type == BusQueryDeviceID) node->deviceId = strings.empty() ? std::wstring() : strings[0];
        if (type == BusQueryInstanceID) node->instanceId = strings.empty() ? std::wstring() : strings[0];
        if (type == BusQueryHardwareIDs) node->hardwareIds = strings;
    }
    if (node->deviceId.empty())
        Violation("PNP_DETECTED_FATAL_ERROR (0xCA, 0x3, 1: invalid ID): the device ID of %s is empty", node->name.c_str());
    return true;
}

void PnpManager::QueryCapabilities(DeviceNode* node) {
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    ULONG_PTR information = 0;
    NTSTATUS status = Send(node, IRP_MN_QUERY_CAPABILITIES, &information, [&](PIO_STACK_LOCATION location) {
        location->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    });
    if (capabilities.Size != sizeof(DEVICE_CAPABILITIES) || capabilities.Version != 1)
        Violation("a driver of the stack of %s changed the Size or Version of the DEVICE_CAPABILITIES it was asked to "
                  "fill",
                  node->name.c_str());
    if (!NT_SUCCESS(status)) {
        Narrate(node->name + ": capabilities query failed with " + Status(status));
        return;
    }
    DEVICE_POWER_STATE working = capabilities.DeviceState[PowerSystemWorking];
    if (working != PowerDeviceUnspecified && working != PowerDeviceD0)
        Violation("the stack of %s reported device power state D%d for the working state S0; it must be D0",
                  node->name.c_str(), static_cast<int>(working) - 1);
    node->capabilities = capabilities;
}

NTSTATUS PnpManager::Send(DeviceNode* node, UCHAR minor, ULONG_PTR* information,
                          const std::function<void(PIO_STACK_LOCATION)>& setup, bool* reachedBus) {
    return SendTo(node->pdo, minor, information, setup, reachedBus);
}

NTSTATUS PnpManager::SendTo(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR* information,
                            const std::function<void(PIO_STACK_LOCATION)>& setup, bool* reachedBus) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PDEVICE_OBJECT bottom = device;
    while (bottom->Sim->attachedTo) bottom = bottom->Sim->attachedTo;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK result{};
    IoManager& io = Kernel::Current().Io();
    PIRP irp = io.AllocateKernelIrp(top->StackSize, [&](PIRP finished) {
        result = finished->IoStatus;
        // A location names the device it was dispatched to; drivers that skip
        // theirs share one, so the PDO's need not be the first.
        if (reachedBus) {
            *reachedBus = false;
            for (int i = 0; i < finished->StackCount; ++i) *reachedBus |= finished->Stack[i].DeviceObject == bottom;
        }
        io.ReleaseKernelIrp(finished);
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (setup) setup(next);
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(top);
    if (information) *information = result.Information;
    return result.Status;
}

void PnpManager::Enumerate(DeviceNode* node) {
    if (node->surpriseRemoved || node->removed) return;
    Narrate(node->name + ": asked for its bus relations");
    ULONG_PTR information = 0;
    NTSTATUS status = Send(node, IRP_MN_QUERY_DEVICE_RELATIONS, &information, [](PIO_STACK_LOCATION location) {
        location->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED)
        Narrate(node->name + ": bus relations refused with " + StatusName(status) + "; its devices stay as they are");
    if (!NT_SUCCESS(status) || !relations) return;
    std::vector<PDEVICE_OBJECT> reported(relations->Objects, relations->Objects + relations->Count);
    for (size_t i = 0; i < reported.size(); ++i) {
        if (!reported[i])
            Violation("PNP_DETECTED_FATAL_ERROR (0xCA, 0x8: NULL pointer returned as a bus relation): the stack of %s "
                      "reported %zu device(s), entry %zu null",
                      node->name.c_str(), reported.size(), i);
        if (!Objects().IsDevice(reported[i]))
            Violation("the stack of %s reported %p in its bus relations, which is not a device object (freed?)",
                      node->name.c_str(), static_cast<void*>(reported[i]));
        if (reported[i]->Sim->deleted)
            Violation("PNP_DETECTED_FATAL_ERROR (0xCA, 0x4: invalid enumeration of deleted PDO): the stack of %s "
                      "reported %s, which its driver deleted",
                      node->name.c_str(), Objects().Describe(reported[i]).c_str());
    }
    ExFreePool(relations);
    // Children no longer reported are gone.
    for (DeviceNode* child : std::vector<DeviceNode*>(node->children))
        if (!child->removed && !child->surpriseRemoved &&
            std::find(reported.begin(), reported.end(), child->pdo) == reported.end())
            SurpriseRemove(child);
    // The bus driver referenced each: the tree keeps the reference of a new
    // device (AddDevice takes its own, so it is released here) and releases
    // that of a known one.
    for (PDEVICE_OBJECT pdo : reported) {
        if (!FindByPdo(pdo)) AddDevice(pdo, node);
        ObfDereferenceObject(pdo);
    }
}

void PnpManager::Announce(PDEVICE_OBJECT pdo, BusInfo bus) { announced_[pdo] = std::move(bus); }

void PnpManager::Subtree(DeviceNode* node, std::vector<DeviceNode*>* deepestFirst) {
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it)
        if (!(*it)->removed && !(*it)->surpriseRemoved) Subtree(*it, deepestFirst);
    if (std::find(deepestFirst->begin(), deepestFirst->end(), node) == deepestFirst->end())
        deepestFirst->push_back(node);
}

void PnpManager::AddRelations(DeviceNode* node, DEVICE_RELATION_TYPE type, std::vector<DeviceNode*>* set) {
    ULONG_PTR information = 0;
    NTSTATUS status = Send(node, IRP_MN_QUERY_DEVICE_RELATIONS, &information,
                           [type](PIO_STACK_LOCATION location) { location->Parameters.QueryDeviceRelations.Type = type; });
    const char* what = type == RemovalRelations ? "removal relations" : "ejection relations";
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (!NT_SUCCESS(status)) {
        // What a failing driver left in Information is not the manager's to free.
        if (status != STATUS_NOT_SUPPORTED) Narrate(node->name + ": " + what + " refused with " + Status(status));
        return;
    }
    if (!relations) return;
    std::vector<PDEVICE_OBJECT> related(relations->Objects, relations->Objects + relations->Count);
    for (PDEVICE_OBJECT pdo : related) {
        if (!pdo || !Objects().IsDevice(pdo))
            Violation("the stack of %s reported %p in its %s, which is not a device object", node->name.c_str(),
                      static_cast<void*>(pdo), what);
        if (pdo->Sim->deleted)
            Violation("PNP_DETECTED_FATAL_ERROR (0xCA, 0xB: deleted PDO reported as relation): the %s of %s list %s, "
                      "which was deleted",
                      what, node->name.c_str(), Objects().Describe(pdo).c_str());
    }
    for (PDEVICE_OBJECT pdo : related) {
        if (DeviceNode* other = FindByPdo(pdo); other && !other->surpriseRemoved) {
            std::vector<DeviceNode*> extra;
            Subtree(other, &extra);
            for (DeviceNode* add : extra)
                if (std::find(set->begin(), set->end(), add) == set->end()) set->insert(set->begin(), add);
        }
        ObfDereferenceObject(pdo);
    }
    ExFreePool(relations);
}

std::vector<PnpManager::DeviceNode*> PnpManager::RemovalSet(DeviceNode* node) {
    std::vector<DeviceNode*> set;
    Subtree(node, &set);
    AddRelations(node, EjectionRelations, &set);
    for (size_t i = 0; i < set.size(); ++i) {
        size_t before = set.size();
        AddRelations(set[i], RemovalRelations, &set);
        i += set.size() - before;  // relations went in front of this node
    }
    return set;
}

std::string PnpManager::OpenFileOn(const std::vector<DeviceNode*>& nodes) const {
    std::vector<PDEVICE_OBJECT> devices;
    for (DeviceNode* node : nodes)
        for (PDEVICE_OBJECT device = node->pdo; device; device = device->AttachedDevice) devices.push_back(device);
    PFILE_OBJECT file = Objects().AnyFileOn(devices);
    return file ? Objects().Describe(file) : std::string();
}

PnpManager::Outcome PnpManager::Remove(DeviceNode* node) {
    Outcome outcome;
    if (node->removed || node->surpriseRemoved) {
        outcome.veto = "it is already being removed";
        return outcome;
    }
    Narrate(node->name + ": query removal");
    std::vector<DeviceNode*> set = RemovalSet(node);
    auto cancel = [&](const std::vector<DeviceNode*>& notified, const std::string& veto) {
        for (DeviceNode* told : notified) NotifyTarget(told, GUID_TARGET_DEVICE_REMOVE_CANCELLED, nullptr);
        outcome.veto = veto;
        Narrate(node->name + ": removal vetoed: " + veto);
        return outcome;
    };

    // Whoever holds the device open is asked first; one that still holds it
    // afterwards keeps it.
    std::vector<DeviceNode*> notified;
    for (DeviceNode* member : set) {
        notified.push_back(member);
        std::string who;
        NTSTATUS status = NotifyTarget(member, GUID_TARGET_DEVICE_QUERY_REMOVE, &who);
        if (!NT_SUCCESS(status))
            return cancel(notified, "the query-remove notification callback of " + who + " refused with " + Status(status));
    }
    std::string open = OpenFileOn(set);
    if (!open.empty()) return cancel(notified, "outstanding open: " + open + " is still open");

    std::vector<DeviceNode*> queried;
    for (DeviceNode* member : set) {
        queried.push_back(member);
        ULONG_PTR information = 0;
        NTSTATUS status = Send(member, IRP_MN_QUERY_REMOVE_DEVICE, &information);
        if (NT_SUCCESS(status)) continue;
        for (DeviceNode* asked : queried) {
            Narrate(asked->name + ": removal cancelled");
            bool reachedBus = false;
            NTSTATUS cancelled = Send(asked, IRP_MN_CANCEL_REMOVE_DEVICE, &information, {}, &reachedBus);
            if (!reachedBus) Violation("IRP_MN_CANCEL_REMOVE_DEVICE of %s never reached the bus driver", asked->name.c_str());
            if (!NT_SUCCESS(cancelled))
                Violation("IRP_MN_CANCEL_REMOVE_DEVICE of %s failed with %s; no driver may fail it", asked->name.c_str(),
                          Status(cancelled).c_str());
        }
        return cancel(notified, "IRP_MN_QUERY_REMOVE_DEVICE of " + member->name + " failed with " + Status(status));
    }
    for (DeviceNode* member : set) {
        NotifyTarget(member, GUID_TARGET_DEVICE_REMOVE_COMPLETE, nullptr);
        SendRemoval(member, IRP_MN_REMOVE_DEVICE);
    }
    outcome.done = true;
    return outcome;
}

void PnpManager::RemoveAll() {
    // Surprise-removed stacks still waiting for a close are removed now.
    for (auto& group : awaitingClose_)
        for (DeviceNode* member : group)
            if (!member->removed) SendRemoval(member, IRP_MN_REMOVE_DEVICE);
    awaitingClose_.clear();
    for (DeviceNode* root : Roots()) {
        std::vector<DeviceNode*> set;
        Subtree(root, &set);
        for (DeviceNode* member : set) {
            ULONG_PTR information = 0;
            Send(member, IRP_MN_QUERY_REMOVE_DEVICE, &information);
            NotifyTarget(member, GUID_TARGET_DEVICE_REMOVE_COMPLETE, nullptr);
            SendRemoval(member, IRP_MN_REMOVE_DEVICE);
        }
    }
}

void PnpManager::SurpriseRemove(DeviceNode* node) {
    if (node->removed || node->surpriseRemoved) return;
    std::vector<DeviceNode*> order;  // deepest first
    Subtree(node, &order);
    for (DeviceNode* gone : order) {
        SendRemoval(gone, IRP_MN_SURPRISE_REMOVAL);
        gone->surpriseRemoved = true;
    }
    // Without a query first: registrants close what they hold open.
    for (DeviceNode* gone : order) NotifyTarget(gone, GUID_TARGET_DEVICE_REMOVE_COMPLETE, nullptr);
    awaitingClose_.push_back(order);
    FinishSurpriseRemovals();
}

void PnpManager::FinishSurpriseRemovals() {
    for (size_t i = 0; i < awaitingClose_.size();) {
        std::vector<DeviceNode*> group = awaitingClose_[i];
        std::string open = OpenFileOn(group);
        if (!open.empty()) {
            if (!group.front()->removalHeldNarrated) {
                group.front()->removalHeldNarrated = true;
                Narrate(group.back()->name + ": removal waits until " + open + " is closed");
            }
            ++i;
            continue;
        }
        awaitingClose_.erase(awaitingClose_.begin() + static_cast<std::ptrdiff_t>(i));
        for (DeviceNode* member : group)
            if (!member->removed) SendRemoval(member, IRP_MN_REMOVE_DEVICE);
    }
}

void PnpManager::FileClosed() {
    if (awaitingClose_.empty()) return;
    Queue([this] { FinishSurpriseRemovals(); });
}

void PnpManager::SendRemoval(DeviceNode* node, UCHAR minor) {
    const char* what = minor == IRP_MN_REMOVE_DEVICE ? "IRP_MN_REMOVE_DEVICE" : "IRP_MN_SURPRISE_REMOVAL";
    ObjectManager& objects = Objects();
    if (minor == IRP_MN_REMOVE_DEVICE && node->surpriseRemoved) {
        // Between the two IRPs the stack stays as it was.
        for (PDEVICE_OBJECT device : node->stackAtSurprise)
            if (!objects.IsDevice(device) || device->Sim->deleted || !device->Sim->attachedTo)
                Violation("%s left the stack of %s after IRP_MN_SURPRISE_REMOVAL, before IRP_MN_REMOVE_DEVICE: a driver "
                          "detaches and deletes its device only on the removal IRP",
                          objects.IsDevice(device) ? objects.Describe(device).c_str() : "a device object",
                          node->name.c_str());
    }
    std::vector<PDEVICE_OBJECT> above;
    for (PDEVICE_OBJECT device = node->pdo->AttachedDevice; device; device = device->AttachedDevice)
        above.push_back(device);
    Narrate(node->name + (minor == IRP_MN_REMOVE_DEVICE ? ": removal" : ": surprise removal"));
    node->pdo->Sim->refuseAttach = true;  // a stack on its way out takes no new device
    ULONG_PTR information = 0;
    bool reachedBus = false;
    NTSTATUS status = Send(node, minor, &information, {}, &reachedBus);
    // No driver may fail these or keep them from the bus driver.
    if (!reachedBus) Violation("%s of %s never reached the bus driver", what, node->name.c_str());
    if (!NT_SUCCESS(status)) Violation("%s of %s failed with 0x%08X", what, node->name.c_str(), static_cast<unsigned>(status));
    for (PDEVICE_OBJECT device : above) {
        bool gone = !objects.IsDevice(device) || device->Sim->deleted;
        bool attached = objects.IsDevice(device) && device->Sim->attachedTo;
        if (minor == IRP_MN_REMOVE_DEVICE) {
            // Every driver above the PDO leaves the stack and deletes its device.
            if (!gone) Violation("%s was not deleted on %s of %s", objects.Describe(device).c_str(), what, node->name.c_str());
            if (attached) Violation("%s did not detach on %s of %s", objects.Describe(device).c_str(), what, node->name.c_str());
        } else if (gone || !attached) {
            // The stack stays whole until the removal IRP: drivers must not leave it yet.
            Violation("a device of the stack of %s detached or was deleted on %s; that waits for IRP_MN_REMOVE_DEVICE",
                      node->name.c_str(), what);
        }
    }
    if (minor != IRP_MN_REMOVE_DEVICE) {
        node->stackAtSurprise = above;
        return;
    }
    Unlink(node);
}

void PnpManager::Unlink(DeviceNode* node) {
    // Interfaces its drivers left enabled are disabled by the manager.
    DisableInterfacesOf(node->pdo);
    node->removed = true;
    node->started = false;
    PDEVICE_OBJECT pdo = node->pdo;
    if (node->bus.release) node->bus.release();
    Objects().Dereference(pdo, "the Plug and Play manager");
}

PnpManager::Outcome PnpManager::Rebalance(DeviceNode* node) {
    Outcome outcome;
    if (!node->started || node->surpriseRemoved) {
        outcome.veto = "it is not started";
        return outcome;
    }
    Narrate(node->name + ": query stop (resources are being rebalanced)");
    ULONG_PTR information = 0;
    NTSTATUS status = Send(node, IRP_MN_QUERY_STOP_DEVICE, &information);
    if (!NT_SUCCESS(status)) {
        Narrate(node->name + ": stop cancelled");
        bool reachedBus = false;
        NTSTATUS cancelled = Send(node, IRP_MN_CANCEL_STOP_DEVICE, &information, {}, &reachedBus);
        if (!reachedBus) Violation("IRP_MN_CANCEL_STOP_DEVICE of %s never reached the bus driver", node->name.c_str());
        if (!NT_SUCCESS(cancelled))
            Violation("IRP_MN_CANCEL_STOP_DEVICE of %s failed with %s; no driver may fail it", node->name.c_str(),
                      Status(cancelled).c_str());
        outcome.veto = "IRP_MN_QUERY_STOP_DEVICE failed with " + Status(status);
        Narrate(node->name + ": rebalance vetoed: " + outcome.veto);
        return outcome;
    }
    Narrate(node->name + ": stop");
    bool reachedBus = false;
    status = Send(node, IRP_MN_STOP_DEVICE, &information, {}, &reachedBus);
    if (!reachedBus) Violation("IRP_MN_STOP_DEVICE of %s never reached the bus driver", node->name.c_str());
    if (!NT_SUCCESS(status))
        Violation("IRP_MN_STOP_DEVICE of %s failed with %s; no driver may fail it once the query succeeded",
                  node->name.c_str(), Status(status).c_str());
    status = Send(node, IRP_MN_START_DEVICE, &information);
    node->started = NT_SUCCESS(status);
    Narrate(node->name + (node->started ? ": started again with its new resources" : ": failed to start again"));
    outcome.done = node->started;
    if (!node->started) outcome.veto = "IRP_MN_START_DEVICE failed with " + Status(status);
    return outcome;
}

NTSTATUS PnpManager::Paging(DeviceNode* node, bool inPath) {
    Narrate(node->name + (inPath ? ": a paging file is placed on it" : ": a paging file is taken off it"));
    ULONG_PTR information = 0;
    NTSTATUS status = Send(node, IRP_MN_DEVICE_USAGE_NOTIFICATION, &information, [inPath](PIO_STACK_LOCATION location) {
        location->Parameters.UsageNotification.InPath = inPath ? TRUE : FALSE;
        location->Parameters.UsageNotification.Type = DeviceUsageTypePaging;
    });
    if (NT_SUCCESS(status))
        node->pagingFiles += inPath ? 1 : -1;
    else
        Narrate(node->name + ": the paging notification failed with " + Status(status));
    return status;
}

void PnpManager::Queue(std::function<void()> work) {
    if (!threadStarted_) {
        threadStarted_ = true;
        KeInitializeEvent(&workReady_, SynchronizationEvent, FALSE);
        Kernel::Current().Threads().StartThread("Plug and Play manager", [this] { ManagerThread(); }, true);
    }
    work_.push_back(std::move(work));
    KeSetEvent(&workReady_, IO_NO_INCREMENT, FALSE);
}

void PnpManager::ManagerThread() {
    for (;;) {
        Kernel::Current().Threads().Wait(&workReady_.Header, nullptr, "work for the Plug and Play manager", true);
        while (!work_.empty()) {
            std::function<void()> work = std::move(work_.front());
            work_.pop_front();
            work();
        }
    }
}

void PnpManager::Invalidate(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type) {
    if (type != BusRelations) return;  // only bus relations change the tree here
    Queue([this, pdo] {
        if (DeviceNode* node = FindByPdo(pdo)) Enumerate(node);
    });
}

PnpManager::DeviceNode* PnpManager::FindByPdo(PDEVICE_OBJECT pdo) {
    for (auto& node : nodes_)
        if (node->pdo == pdo && !node->removed) return node.get();
    return nullptr;
}

bool PnpManager::IsLinkedPdo(PDEVICE_OBJECT device) const {
    for (auto& node : nodes_)
        if (node->pdo == device && !node->removed) return true;
    return false;
}

void PnpManager::RequirePdo(PDEVICE_OBJECT device, const char* service) {
    if (!FindByPdo(device))
        Violation("PNP_DETECTED_FATAL_ERROR (0xCA, invalid PDO): %s with %s, which is not a PDO a bus driver reported",
                  service, Objects().Describe(device).c_str());
}

std::vector<PnpManager::DeviceNode*> PnpManager::Roots() {
    std::vector<DeviceNode*> roots;
    for (auto& node : nodes_)
        if (!node->parent && !node->removed) roots.push_back(node.get());
    return roots;
}

std::vector<PnpManager::DeviceNode*> PnpManager::Present() {
    std::vector<DeviceNode*> present;
    for (auto& node : nodes_)
        if (!node->removed) present.push_back(node.get());
    return present;
}

NTSTATUS PnpManager::GetProperty(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length,
                                 PVOID buffer, PULONG resultLength) {
    DeviceNode* node = FindByPdo(device);
    if (!node) Violation("IoGetDeviceProperty of %p, which is not a PDO", static_cast<void*>(device));
    if (!buffer && length) return STATUS_INVALID_PARAMETER;
    return node->bus.property(property, length, buffer, resultLength);
}

}  // namespace sim
