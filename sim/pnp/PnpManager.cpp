#include "sim/pnp/PnpManager.h"

#include <algorithm>

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

void PnpManager::RegisterDriver(const std::string& service, AddDeviceRoutine addDevice) {
    drivers_[service] = std::move(addDevice);
}

void PnpManager::RegisterDriver(const std::string& service, PDRIVER_OBJECT driver) {
    drivers_[service] = [driver](PDEVICE_OBJECT pdo) {
        if (!driver->DriverExtension->AddDevice) return STATUS_SUCCESS;  // not a Plug and Play driver
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
                      Kernel::Current().Objects().Describe(device).c_str());
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
    if (assign_) assign_(pdo, &node->functionDriver, &node->upperFilters);
    nodes_.push_back(std::move(owned));
    if (parent) parent->children.push_back(node);
    BuildStack(node);
    return node;
}

void PnpManager::BuildStack(DeviceNode* node) {
    if (!node->functionDriver.empty()) RunAddDevice(node->functionDriver, node->pdo);
    for (const std::string& filter : node->upperFilters) RunAddDevice(filter, node->pdo);
    ULONG_PTR information = 0;
    NTSTATUS status = Send(node, IRP_MN_START_DEVICE, &information);
    node->started = NT_SUCCESS(status);
    std::string stack;
    for (PDEVICE_OBJECT device = node->pdo; device; device = device->AttachedDevice)
        stack += (stack.empty() ? "" : " <- ") + ToNarrow(FromUnicodeString(&device->DriverObject->DriverName));
    Narrate(node->name + ": new device, stack " + stack + (node->started ? ", started" : ", failed to start"));
    if (node->started) Enumerate(node);
}

NTSTATUS PnpManager::Send(DeviceNode* node, UCHAR minor, ULONG_PTR* information,
                          const std::function<void(PIO_STACK_LOCATION)>& setup, bool* reachedBus) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node->pdo);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK result{};
    IoManager& io = Kernel::Current().Io();
    PDEVICE_OBJECT pdo = node->pdo;
    PIRP irp = io.AllocateKernelIrp(top->StackSize, [&](PIRP finished) {
        result = finished->IoStatus;
        // A location names the device it was dispatched to; drivers that skip
        // theirs share one, so the PDO's need not be the first.
        if (reachedBus) {
            *reachedBus = false;
            for (int i = 0; i < finished->StackCount; ++i) *reachedBus |= finished->Stack[i].DeviceObject == pdo;
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
    Narrate(node->name + ": asked for its bus relations");
    ULONG_PTR information = 0;
    NTSTATUS status = Send(node, IRP_MN_QUERY_DEVICE_RELATIONS, &information, [](PIO_STACK_LOCATION location) {
        location->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (!NT_SUCCESS(status) || !relations) return;
    std::vector<PDEVICE_OBJECT> reported(relations->Objects, relations->Objects + relations->Count);
    for (PDEVICE_OBJECT pdo : reported) ObfDereferenceObject(pdo);  // the bus driver referenced each
    ExFreePool(relations);
    // Children no longer reported are gone.
    for (DeviceNode* child : std::vector<DeviceNode*>(node->children))
        if (!child->removed && std::find(reported.begin(), reported.end(), child->pdo) == reported.end())
            SurpriseRemove(child);
    for (PDEVICE_OBJECT pdo : reported) {
        if (FindByPdo(pdo)) continue;
        AddDevice(pdo, node);
    }
}

void PnpManager::Announce(PDEVICE_OBJECT pdo, BusInfo bus) { announced_[pdo] = std::move(bus); }

void PnpManager::Remove(DeviceNode* node) {
    if (node->removed) return;
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) Remove(*it);
    Narrate(node->name + ": query removal");
    ULONG_PTR information = 0;
    Send(node, IRP_MN_QUERY_REMOVE_DEVICE, &information);
    SendRemoval(node, IRP_MN_REMOVE_DEVICE);
}

void PnpManager::SurpriseRemove(DeviceNode* node) {
    std::vector<DeviceNode*> order;  // deepest first
    std::function<void(DeviceNode*)> collect = [&](DeviceNode* at) {
        for (auto it = at->children.rbegin(); it != at->children.rend(); ++it)
            if (!(*it)->removed) collect(*it);
        order.push_back(at);
    };
    collect(node);
    for (DeviceNode* gone : order) SendRemoval(gone, IRP_MN_SURPRISE_REMOVAL);
    for (DeviceNode* gone : order) SendRemoval(gone, IRP_MN_REMOVE_DEVICE);
}

void PnpManager::SendRemoval(DeviceNode* node, UCHAR minor) {
    std::vector<PDEVICE_OBJECT> above;
    for (PDEVICE_OBJECT device = node->pdo->AttachedDevice; device; device = device->AttachedDevice)
        above.push_back(device);
    Narrate(node->name + (minor == IRP_MN_REMOVE_DEVICE ? ": removal" : ": surprise removal"));
    node->pdo->Sim->refuseAttach = true;  // a stack on its way out takes no new device
    ULONG_PTR information = 0;
    bool reachedBus = false;
    NTSTATUS status = Send(node, minor, &information, {}, &reachedBus);
    ObjectManager& objects = Kernel::Current().Objects();
    const char* what = minor == IRP_MN_REMOVE_DEVICE ? "IRP_MN_REMOVE_DEVICE" : "IRP_MN_SURPRISE_REMOVAL";
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
    if (minor != IRP_MN_REMOVE_DEVICE) return;
    node->removed = true;
    node->started = false;
    if (node->bus.release) node->bus.release();
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

void PnpManager::RemoveAll() {
    for (DeviceNode* root : Roots()) Remove(root);
}

PnpManager::DeviceNode* PnpManager::FindByPdo(PDEVICE_OBJECT pdo) {
    for (auto& node : nodes_)
        if (node->pdo == pdo && !node->removed) return node.get();
    return nullptr;
}

void PnpManager::RequirePdo(PDEVICE_OBJECT device, const char* service) {
    if (!FindByPdo(device))
        Violation("PNP_DETECTED_FATAL_ERROR (0xCA, invalid PDO): %s with %s, which is not a PDO a bus driver reported",
                  service, Kernel::Current().Objects().Describe(device).c_str());
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
