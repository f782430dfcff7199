// Object manager: driver, device and file objects, the namespace of device
// names and symbolic links, reference counts, and the access rule a device
// object carries.
#pragma once

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/ddk/wdm.h"

namespace sim {

// Who opens a device: the kernel itself (no check), or a user-mode caller's token.
enum class Caller { Kernel, System, Administrator, User };
const char* CallerName(Caller caller);

// Who may open a device object. IoCreateDevice's default lets anyone open it.
enum class AccessRule { Everyone, AdministratorsAndSystem };

std::wstring ToWide(const std::string& text);
std::string ToNarrow(const std::wstring& text);
std::wstring FromUnicodeString(const UNICODE_STRING* string);

}  // namespace sim

// The kernel's own record of a device object, reached through DEVICE_OBJECT::Sim.
struct sim::DeviceRecord {
    std::wstring name;                    // empty for an unnamed device
    PDEVICE_OBJECT attachedTo = nullptr;  // the device this one is attached to, if any
    bool deleted = false;
    AccessRule rule = AccessRule::Everyone;
    bool refuseAttach = false;  // the stack is being removed: attaching fails
    DEVICE_POWER_STATE powerState = PowerDeviceD0;  // as last told by PoSetPowerState
};

namespace sim {

class ObjectManager {
public:
    ObjectManager() = default;
    ~ObjectManager();
    ObjectManager(const ObjectManager&) = delete;
    ObjectManager& operator=(const ObjectManager&) = delete;

    PDRIVER_OBJECT CreateDriver(const std::wstring& name);

    NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                          ULONG characteristics, PDEVICE_OBJECT* device);
    void DeleteDevice(PDEVICE_OBJECT device);
    PDEVICE_OBJECT Attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
    void Detach(PDEVICE_OBJECT target);
    static PDEVICE_OBJECT Top(PDEVICE_OBJECT device);
    // Stops with a violation unless `device` is a device object that still exists.
    void CheckDevice(PDEVICE_OBJECT device, const char* service) const;
    bool IsDevice(const void* object) const;

    NTSTATUS CreateLink(const std::wstring& link, const std::wstring& target);
    NTSTATUS DeleteLink(const std::wstring& link);
    // Follows symbolic links to a named device; `rest` receives what follows
    // the device's name in `path`.
    PDEVICE_OBJECT Resolve(const std::wstring& path, std::wstring* rest) const;

    PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, const std::wstring& rest);
    // Frees a file object whose create request failed; no close is sent.
    void DiscardFileObject(PFILE_OBJECT file);

    void Reference(void* object, const char* service);
    // Returns the references left. A file object's last reference sends its close.
    LONG_PTR Dereference(void* object, const char* service);
    LONG_PTR References(const void* object) const;

    void SetResident(bool resident) { resident_ = resident; }
    void RevokeResidency();
    std::vector<std::string> Leaks() const;
    std::string Describe(const void* object) const;

private:
    enum class Kind { Driver, Device, File };
    struct Object {
        Kind kind;
        LONG_PTR references;
        bool resident;
    };

    void FreeDevice(PDEVICE_OBJECT device);
    static std::wstring Key(const std::wstring& name);

    std::unordered_map<void*, Object> objects_;
    std::map<std::wstring, PDEVICE_OBJECT> names_;
    std::map<std::wstring, std::wstring> links_;
    std::vector<PDRIVER_OBJECT> drivers_;
    bool resident_ = false;
};

}  // namespace sim
