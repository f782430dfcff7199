// The Plug and Play manager: device nodes, stacks built in Windows order (the
// bus driver's PDO, the function driver, then the upper filters through their
// AddDevice), start, bus-relations queries and orderly removal.
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
        BusInfo bus;
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

    // A PDO its bus driver announced: builds its stack, starts it and
    // enumerates what it reports in turn.
    DeviceNode* AddDevice(PDEVICE_OBJECT pdo, DeviceNode* parent);

    // A bus driver tells about a PDO before reporting it in bus relations.
    void Announce(PDEVICE_OBJECT pdo, BusInfo bus);

    // Sends a Plug and Play IRP to the top of the node's stack and waits for it.
    // `reachedBus`, when given, tells whether the IRP got down to the PDO.
    NTSTATUS Send(DeviceNode* node, UCHAR minor, ULONG_PTR* information,
                  const std::function<void(PIO_STACK_LOCATION)>& setup = {}, bool* reachedBus = nullptr);
    // Queries bus relations and builds stacks for PDOs it did not know.
    void Enumerate(DeviceNode* node);
    // Orderly removal of a node and everything below it, deepest first.
    void Remove(DeviceNode* node);
    void RemoveAll();
    // A device that vanished: surprise removal of it and everything below it,
    // deepest first, then their removal.
    void SurpriseRemove(DeviceNode* node);

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
    void BuildStack(DeviceNode* node);
    void SendRemoval(DeviceNode* node, UCHAR minor);
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
};

}  // namespace sim
