#include "sim/kernel/Loader.h"

#include "sim/kernel/Kernel.h"

namespace sim {

namespace {
constexpr ULONG kPathTag = MakeTag("Path");
}

std::wstring ServiceKeyPath(const std::wstring& service) {
    return L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
}

LoadedDriver LoadDriver(PDRIVER_INITIALIZE entry, const std::wstring& service) {
    Kernel& kernel = Kernel::Current();
    std::wstring path = ServiceKeyPath(service);
    kernel.Registry().CreateKey(path);  // the installer made the service key

    LoadedDriver loaded;
    loaded.object = kernel.Objects().CreateDriver(L"\\Driver\\" + service);
    size_t bytes = (path.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<WCHAR*>(kernel.Memory().Allocate(PagedPool, bytes, kPathTag, false));
    path.copy(buffer, path.size());
    buffer[path.size()] = 0;
    UNICODE_STRING registryPath;
    registryPath.Buffer = buffer;
    registryPath.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    registryPath.MaximumLength = static_cast<USHORT>(bytes);

    kernel.FailurePoints().Watch(loaded.object);
    kernel.SetResident(true);
    {
        DriverScope scope(loaded.object);
        DriverCode code;
        loaded.status = entry(loaded.object, &registryPath);
    }
    kernel.SetResident(false);
    if (!NT_SUCCESS(loaded.status)) kernel.RevokeResidency();
    // The I/O manager finishes the initialisation of devices made in DriverEntry.
    for (PDEVICE_OBJECT device = loaded.object->DeviceObject; device; device = device->NextDevice)
        device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    kernel.Memory().Free(buffer, kPathTag, true, "the loader");
    return loaded;
}

}  // namespace sim
