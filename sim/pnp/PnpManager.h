// The Plug and Play manager: device nodes, stacks built in Windows order (the
// bus driver's PDO asked for its IDs and capabilities, the function driver,
// then the upper filters through their AddDevice), start, bus-relations
// queries, removal as Windows runs it (query-remove with its vetoes, surprise
// removal whose removal IRP waits for the last open file), rebalance, paging
// notifications, device interfaces and the notifications drivers register for.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/ddk/wdm.h"

namespace sim {

class PnpManager {
public:
    // What a bus driver tells about a PDO it reported.
    struct BusInfo {
        std::string name;  // for people
        std::function<NTSTATUS(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG)> property;
        std::function<void()> release;  // the bus driver deletes the PDO once it is removed
    };

    struct DeviceNode {
        std::string name;
        PDEVICE_OBJECT pdo = nullptr;
        DeviceNode* parent = nullptr;
        std::vector<DeviceNode*> children;
        std::string functionDriver;
        std::vector<std::string> upperFilters;
        bool started = false;
        bool removed = false;
        bool surpriseRemoved = false;  // IRP_MN_REMOVE_DEVICE waits for the last file on the stack to close
        std::wstring deviceId;         // from IRP_MN_QUERY_ID
        std::wstring instanceId;
        std::vector<std::wstring> hardwareIds;
        DEVICE_CAPABILITIES capabilities{};
        std::vector<PDEVICE_OBJECT> stackAtSurprise;  // above the PDO, when IRP_MN_SURPRISE_REMOVAL came back
        bool removalHeldNarrated = false;
        int pagingFiles = 0;  // paging files on the device (IRP_MN_DEVICE_USAGE_NOTIFICATION)
        BusInfo bus;
        std::wstring InstancePath() const { return deviceId + L"\\" + instanceId; }
    };

    // What became of an orderly removal or a rebalance.
    struct Outcome {
        bool done = false;
        std::string veto;  // why not, when not
    };

    // The drivers the manager can load onto a stack, by service name: a
    // function driver's or filter's AddDevice.
    using AddDeviceRoutine = std::function<NTSTATUS(PDEVICE_OBJECT pdo)>;
    void RegisterDriver(const std::string& service, AddDeviceRoutine addDevice);
    void RegisterDriver(const std::string& service, PDRIVER_OBJECT driver);

    // Which function driver and upper filters a new PDO gets, chosen by the machine.
    using Assignment = std::function<void(PDEVICE_OBJECT pdo, std::string* functionDriver,
                                          std::vector<std::string>* upperFilters)>;
    void SetAssignment(Assignment assignment) { assign_ = std::move(assignment); }

    // Told, in words, each thing the manager does to a device node.
    void SetNarrator(std::function<void(const std::string&)> narrator) { narrator_ = std::move(narrator); }
    // For the machine's hardware to tell what happens to a device (its power).
    void Tell(const std::string& text) const { Narrate(text); }

    // A PDO its bus driver announced: builds its stack, starts it and
    // enumerates what it reports in turn.
    DeviceNode* AddDevice(PDEVICE_OBJECT pdo, DeviceNode* parent);

    // A bus driver tells about a PDO before reporting it in bus relations.
    void Announce(PDEVICE_OBJECT pdo, BusInfo bus);

    // Sends a Plug and Play IRP to the top of the node's stack and waits for it.
    // `reachedBus`, when given, tells whether the IRP got down to the PDO.
    NTSTATUS Send(DeviceNode* node, UCHAR minor, ULONG_PTR* information,
                  const std::function<void(PIO_STACK_LOCATION)>& setup = {}, bool* reachedBus = nullptr);
    // The same, to the top of the stack that holds `device`.
    NTSTATUS SendTo(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR* information,
                    const std::function<void(PIO_STACK_LOCATION)>& setup = {}, bool* reachedBus = nullptr);
    // Queries bus relations and builds stacks for PDOs it did not know.
    void Enumerate(DeviceNode* node);
    // Orderly removal of a node and everything below it, deepest first, as a
    // user's safe removal asks for it: relations queries, query-remove
    // notifications, the open-file check, IRP_MN_QUERY_REMOVE_DEVICE, then the
    // removal; any veto cancels it and nothing is removed.
    Outcome Remove(DeviceNode* node);
    // Every stack, at shutdown: nothing may veto.
    void RemoveAll();
    // A device that vanished: surprise removal of it and everything below it,
    // deepest first, at once; their removal once no file is open on any of
    // their stacks.
    void SurpriseRemove(DeviceNode* node);
    // Resources rebalanced: query-stop, then stop and start again, or
    // cancel-stop when a driver refuses.
    Outcome Rebalance(DeviceNode* node);
    // A paging file placed on the device or taken off it.
    NTSTATUS Paging(DeviceNode* node, bool inPath);

    // A file object was freed: a surprise-removed stack may now be removed.
    void FileClosed();
    // The PDO of a node still linked in the device tree (for the object manager).
    bool IsLinkedPdo(PDEVICE_OBJECT device) const;

    // Device interfaces and Plug and Play notifications (Notifications.cpp).
    NTSTATUS RegisterInterface(PDEVICE_OBJECT pdo, const GUID& interfaceClass, const std::wstring& reference,
                               PUNICODE_STRING linkName);
    NTSTATUS SetInterfaceState(const std::wstring& link, bool enable);
    NTSTATUS RegisterNotification(IO_NOTIFICATION_EVENT_CATEGORY category, ULONG flags, PVOID data,
                                  PDRIVER_OBJECT driver, PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback,
                                  PVOID context, PVOID* entry);
    NTSTATUS UnregisterNotification(PVOID entry);
    // The enabled interfaces of a class, by symbolic link name.
    std::vector<std::wstring> EnabledInterfaces(const GUID& interfaceClass) const;
    void SetResident(bool resident) { resident_ = resident; }
    void RevokeResidency();
    std::vector<std::string> Leaks() const;

    // Work for the Plug and Play manager's own thread, which runs it in order.
    void Queue(std::function<void()> work);
    // IoInvalidateDeviceRelations: a later bus-relations query of that device.
    void Invalidate(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type);

    NTSTATUS GetProperty(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                         PULONG resultLength);
    DeviceNode* FindByPdo(PDEVICE_OBJECT pdo);
    // Services that take a PDO stop the machine for any other device object,
    // as Windows does with bug check 0xCA.
    void RequirePdo(PDEVICE_OBJECT device, const char* service);
    std::vector<DeviceNode*> Roots();
    std::vector<DeviceNode*> Present();  // in the order they were built

private:
    struct Registration {
        uint64_t id = 0;
        IO_NOTIFICATION_EVENT_CATEGORY category{};
        GUID interfaceClass{};
        PDEVICE_OBJECT target = nullptr;  // the PDO of a target-device registration, referenced
        PFILE_OBJECT file = nullptr;
        PDRIVER_OBJECT driver = nullptr;
        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback = nullptr;
        PVOID context = nullptr;
        bool resident = false;
    };
    struct Interface {
        GUID interfaceClass{};
        PDEVICE_OBJECT pdo = nullptr;
        std::wstring link;
        bool enabled = false;
        bool arrivalHeld = false;  // enabled while its stack was starting: announced once it started
    };
    struct Delivery {
        uint64_t registration;
        GUID event;
        GUID interfaceClass;
        std::wstring link;
    };

    void BuildStack(DeviceNode* node);
    bool QueryIdentity(DeviceNode* node);
    void QueryCapabilities(DeviceNode* node);
    std::vector<DeviceNode*> RemovalSet(DeviceNode* node);
    void AddRelations(DeviceNode* node, DEVICE_RELATION_TYPE type, std::vector<DeviceNode*>* set);
    void Subtree(DeviceNode* node, std::vector<DeviceNode*>* deepestFirst);
    std::string OpenFileOn(const std::vector<DeviceNode*>& nodes) const;
    void FinishSurpriseRemovals();
    void SendRemoval(DeviceNode* node, UCHAR minor);
    void Unlink(DeviceNode* node);
    // Target-device notifications, called in the caller's thread; returns the
    // first failure of a query-remove callback.
    NTSTATUS NotifyTarget(DeviceNode* node, const GUID& event, std::string* who);
    void Call(const Registration& registration, PVOID structure, NTSTATUS* result);
    void DisableInterfacesOf(PDEVICE_OBJECT pdo);
    void AnnounceInterface(const Interface& entry, const GUID& event);
    void QueueDelivery(Delivery delivery);
    void NotificationThread();
    Registration* FindRegistration(uint64_t id);
    void ManagerThread();
    void RunAddDevice(const std::string& service, PDEVICE_OBJECT pdo);

    std::map<std::string, AddDeviceRoutine> drivers_;
    std::vector<std::unique_ptr<DeviceNode>> nodes_;
    std::map<PDEVICE_OBJECT, BusInfo> announced_;
    void Narrate(const std::string& text) const {
        if (narrator_) narrator_(text);
    }

    Assignment assign_;
    std::function<void(const std::string&)> narrator_;
    std::deque<std::function<void()>> work_;
    KEVENT workReady_{};
    bool threadStarted_ = false;

    std::vector<std::vector<DeviceNode*>> awaitingClose_;  // surprise-removed groups, deepest first
    std::vector<std::unique_ptr<Registration>> registrations_;
    uint64_t nextRegistration_ = 1;
    std::map<std::wstring, Interface> interfaces_;  // by the lower-case symbolic link name
    std::deque<Delivery> deliveries_;
    KEVENT deliveriesQueued_{};
    bool notificationThreadStarted_ = false;
    bool resident_ = false;
};

}  // namespace sim
