#include "sim/kernel/Objects.h"

#include <new>

#include "sim/kernel/IoManager.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

namespace {
constexpr ULONG kDeviceTag = MakeTag("Devi");
constexpr ULONG kFileTag = MakeTag("File");
constexpr size_t kExtensionAlignment = 16;
}  // namespace

const char* CallerName(Caller caller) {
    switch (caller) {
    case Caller::Kernel: return "kernel";
    case Caller::System: return "system";
    case Caller::Administrator: return "administrator";
    case Caller::User: return "user";
    }
    return "?";
}

std::wstring ToWide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string ToNarrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
    return out;
}

std::wstring FromUnicodeString(const UNICODE_STRING* string) {
    if (!string || !string->Buffer) return std::wstring();
    return std::wstring(string->Buffer, string->Length / sizeof(WCHAR));
}

std::wstring ObjectManager::Key(const std::wstring& name) {
    std::wstring key = name;
    for (wchar_t& c : key)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (key.rfind(L"\\dosdevices\\", 0) == 0) key = L"\\??\\" + key.substr(12);
    if (key.rfind(L"\\\\.\\", 0) == 0) key = L"\\??\\" + key.substr(4);
    return key;
}

ObjectManager::~ObjectManager() {
    // Device and file memory belongs to the pool, which releases it.
    for (auto& [object, info] : objects_)
        if (info.kind == Kind::Device) delete static_cast<PDEVICE_OBJECT>(object)->Sim;
    for (PDRIVER_OBJECT driver : drivers_) {
        delete driver->DriverExtension;
        delete[] driver->DriverName.Buffer;
        delete driver;
    }
}

PDRIVER_OBJECT ObjectManager::CreateDriver(const std::wstring& name) {
    auto* driver = new DRIVER_OBJECT{};
    driver->DriverExtension = new DRIVER_EXTENSION{};
    driver->DriverExtension->DriverObject = driver;
    auto* buffer = new WCHAR[name.size() + 1];
    name.copy(buffer, name.size());
    buffer[name.size()] = 0;
    driver->DriverName.Buffer = buffer;
    driver->DriverName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = static_cast<USHORT>((name.size() + 1) * sizeof(WCHAR));
    for (auto& entry : driver->MajorFunction) entry = InvalidDeviceRequest;
    drivers_.push_back(driver);
    objects_[driver] = Object{Kind::Driver, 1, true};
    return driver;
}

NTSTATUS ObjectManager::CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                                     DEVICE_TYPE type, ULONG characteristics, PDEVICE_OBJECT* device) {
    if (!driver || !objects_.count(driver)) Violation("IoCreateDevice with a driver object the kernel does not know");
    if (!device) Violation("IoCreateDevice without a place for the device object");
    std::wstring deviceName = FromUnicodeString(name);
    if (!deviceName.empty() && names_.count(Key(deviceName))) return STATUS_OBJECT_NAME_COLLISION;
    if (!deviceName.empty() && deviceName[0] != L'\\') return STATUS_OBJECT_NAME_INVALID;

    size_t offset = (sizeof(DEVICE_OBJECT) + kExtensionAlignment - 1) / kExtensionAlignment * kExtensionAlignment;
    void* memory = Kernel::Current().Memory().Allocate(NonPagedPool, offset + extensionSize, kDeviceTag);
    if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(memory, 0, offset + extensionSize);  // the extension comes zeroed
    auto* object = new (memory) DEVICE_OBJECT{};
    object->DriverObject = driver;
    object->DeviceType = type;
    object->Characteristics = characteristics;
    object->Flags = DO_DEVICE_INITIALIZING;
    object->StackSize = 1;
    object->DeviceExtension = extensionSize ? static_cast<char*>(memory) + offset : nullptr;
    object->Sim = new DeviceRecord{};
    object->Sim->name = deviceName;
    if (!deviceName.empty()) names_[Key(deviceName)] = object;
    object->NextDevice = driver->DeviceObject;
    driver->DeviceObject = object;
    objects_[object] = Object{Kind::Device, 1, resident_};
    *device = object;
    return STATUS_SUCCESS;
}

bool ObjectManager::IsDevice(const void* object) const {
    auto it = objects_.find(const_cast<void*>(object));
    return it != objects_.end() && it->second.kind == Kind::Device;
}

void ObjectManager::CheckDevice(PDEVICE_OBJECT device, const char* service) const {
    if (!device) Violation("%s with a null device object", service);
    if (!IsDevice(device)) Violation("%s with %p, which is not a device object", service, static_cast<void*>(device));
    if (device->Sim->deleted) Violation("%s with %s, which was deleted", service, Describe(device).c_str());
}

void ObjectManager::DeleteDevice(PDEVICE_OBJECT device) {
    CheckDevice(device, "IoDeleteDevice");
    // A device above may still be attached (a filter waiting for the removal IRP
    // to come back detaches after the lower driver deleted its device): the
    // object stays, delete-pending, until that detach.
    if (device->Sim->attachedTo)
        Violation("IoDeleteDevice of %s while it is still attached to %s (detach it first)",
                  Describe(device).c_str(), Describe(device->Sim->attachedTo).c_str());
    device->Sim->deleted = true;
    if (!device->Sim->name.empty()) names_.erase(Key(device->Sim->name));
    for (PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject; *link; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            break;
        }
    }
    Dereference(device, "IoDeleteDevice");
}

void ObjectManager::FreeDevice(PDEVICE_OBJECT device) {
    delete device->Sim;
    objects_.erase(device);
    Kernel::Current().Memory().Free(device, kDeviceTag, true, "IoDeleteDevice");
}

PDEVICE_OBJECT ObjectManager::Top(PDEVICE_OBJECT device) {
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT ObjectManager::Attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    CheckDevice(source, "IoAttachDeviceToDeviceStack");
    CheckDevice(target, "IoAttachDeviceToDeviceStack");
    if (source->Sim->attachedTo)
        Violation("IoAttachDeviceToDeviceStack of %s, which is already attached to a stack", Describe(source).c_str());
    PDEVICE_OBJECT top = Top(target);
    if (top == source) Violation("IoAttachDeviceToDeviceStack of a device object to itself");
    for (PDEVICE_OBJECT device = target; device; device = device->AttachedDevice)
        if (device->Sim->refuseAttach) return nullptr;
    top->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > source->AlignmentRequirement)
        source->AlignmentRequirement = top->AlignmentRequirement;
    source->Sim->attachedTo = top;
    return top;
}

void ObjectManager::Detach(PDEVICE_OBJECT target) {
    if (!IsDevice(target)) Violation("IoDetachDevice with %p, which is not a device object", static_cast<void*>(target));
    PDEVICE_OBJECT attached = target->AttachedDevice;
    if (!attached) Violation("IoDetachDevice on %s, which has nothing attached", Describe(target).c_str());
    attached->Sim->attachedTo = nullptr;
    target->AttachedDevice = nullptr;
    if (target->Sim->deleted && objects_[target].references == 0) FreeDevice(target);
}

NTSTATUS ObjectManager::CreateLink(const std::wstring& link, const std::wstring& target) {
    if (link.empty() || target.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::wstring key = Key(link);
    if (links_.count(key) || names_.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    links_[key] = target;
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::DeleteLink(const std::wstring& link) {
    return links_.erase(Key(link)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT ObjectManager::Resolve(const std::wstring& path, std::wstring* rest) const {
    std::wstring current = path;
    for (int hops = 0; hops < 32; ++hops) {
        std::wstring key = Key(current);
        // The longest prefix that ends at a component boundary and names something.
        bool followed = false;
        for (size_t end = key.size(); end > 0;) {
            std::wstring prefix = key.substr(0, end);
            // The remainder, in the caller's spelling (Key() may have shortened a prefix).
            std::wstring remainder = current.substr(current.size() - (key.size() - end));
            if (auto device = names_.find(prefix); device != names_.end()) {
                if (rest) *rest = remainder;
                return device->second;
            }
            if (auto link = links_.find(prefix); link != links_.end()) {
                current = link->second + remainder;
                followed = true;
                break;
            }
            size_t slash = key.rfind(L'\\', end - 1);
            if (slash == std::wstring::npos || slash == 0) break;
            end = slash;
        }
        if (!followed) return nullptr;
    }
    return nullptr;
}

PFILE_OBJECT ObjectManager::CreateFileObject(PDEVICE_OBJECT device, const std::wstring& rest) {
    size_t bytes = sizeof(FILE_OBJECT) + (rest.size() + 1) * sizeof(WCHAR);
    void* memory = Kernel::Current().Memory().Allocate(NonPagedPool, bytes, kFileTag);
    if (!memory) return nullptr;
    std::memset(memory, 0, bytes);
    auto* file = new (memory) FILE_OBJECT{};
    auto* name = reinterpret_cast<WCHAR*>(file + 1);
    rest.copy(name, rest.size());
    file->FileName.Buffer = name;
    file->FileName.Length = static_cast<USHORT>(rest.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = static_cast<USHORT>((rest.size() + 1) * sizeof(WCHAR));
    file->DeviceObject = device;
    objects_[file] = Object{Kind::File, 1, resident_};
    Reference(device, "IoCreateFile");
    return file;
}

void ObjectManager::DiscardFileObject(PFILE_OBJECT file) {
    PDEVICE_OBJECT device = file->DeviceObject;
    objects_.erase(file);
    Kernel::Current().Memory().Free(file, kFileTag, true, "ObfDereferenceObject");
    Dereference(device, "ObfDereferenceObject");
}

void ObjectManager::Reference(void* object, const char* service) {
    auto it = objects_.find(object);
    if (it == objects_.end()) Violation("%s of %p, which is not an object the kernel knows", service, object);
    ++it->second.references;
}

LONG_PTR ObjectManager::Dereference(void* object, const char* service) {
    auto it = objects_.find(object);
    if (it == objects_.end())
        Violation("%s of %p, which is not an object the kernel knows (released too often?)", service, object);
    if (it->second.references <= 0) Violation("%s of %s, which has no references left", service, Describe(object).c_str());
    LONG_PTR left = --it->second.references;
    if (left > 0) return left;
    switch (it->second.kind) {
    case Kind::Device:
        if (static_cast<PDEVICE_OBJECT>(object)->Sim->deleted) {
            if (!static_cast<PDEVICE_OBJECT>(object)->AttachedDevice) FreeDevice(static_cast<PDEVICE_OBJECT>(object));
        } else
            Violation("%s released the creation reference of %s, which was not deleted", service,
                      Describe(object).c_str());
        break;
    case Kind::File:
        Kernel::Current().Io().CloseFile(static_cast<PFILE_OBJECT>(object));
        DiscardFileObject(static_cast<PFILE_OBJECT>(object));
        break;
    case Kind::Driver:
        Violation("%s released the last reference of a driver object", service);
    }
    return 0;
}

LONG_PTR ObjectManager::References(const void* object) const {
    auto it = objects_.find(const_cast<void*>(object));
    return it == objects_.end() ? 0 : it->second.references;
}

std::string ObjectManager::Describe(const void* object) const {
    auto it = objects_.find(const_cast<void*>(object));
    if (it == objects_.end()) return Format("%p (not an object)", object);
    switch (it->second.kind) {
    case Kind::Driver:
        return Format("driver object %s",
                      ToNarrow(FromUnicodeString(&static_cast<const DRIVER_OBJECT*>(object)->DriverName)).c_str());
    case Kind::Device: {
        auto* device = static_cast<const DEVICE_OBJECT*>(object);
        std::string name = device->Sim->name.empty() ? "unnamed" : ToNarrow(device->Sim->name);
        return Format("device object %p (%s, %s)", object, name.c_str(),
                      ToNarrow(FromUnicodeString(&device->DriverObject->DriverName)).c_str());
    }
    case Kind::File:
        return Format("file object %p on %s", object,
                      Describe(static_cast<const FILE_OBJECT*>(object)->DeviceObject).c_str());
    }
    return "?";
}

void ObjectManager::RevokeResidency() {
    for (auto& [object, info] : objects_)
        if (info.kind != Kind::Driver) info.resident = false;
}

std::vector<std::string> ObjectManager::Leaks() const {
    std::vector<std::string> leaks;
    for (auto& [object, info] : objects_) {
        if (info.resident || info.kind == Kind::Driver) continue;
        if (info.kind == Kind::Device) {
            auto* device = static_cast<const DEVICE_OBJECT*>(object);
            if (!device->Sim->deleted)
                leaks.push_back(Describe(object) + " was never deleted");
            else
                leaks.push_back(Format("%s was deleted but %lld reference(s) to it were never released",
                                       Describe(object).c_str(), static_cast<long long>(info.references)));
        } else {
            leaks.push_back(Format("%s still has %lld reference(s)", Describe(object).c_str(),
                                   static_cast<long long>(info.references)));
        }
    }
    return leaks;
}

}  // namespace sim
