#include "tests/support/TestDriver.h"

#include <algorithm>

namespace test {

namespace {
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return (**static_cast<Handler**>(device->DeviceExtension))(device, irp);
}
}  // namespace

TestDriver::TestDriver(const std::wstring& name) {
    driver_ = sim::Kernel::Current().Objects().CreateDriver(name);
    for (auto& entry : driver_->MajorFunction) entry = Dispatch;
}

TestDriver::~TestDriver() {
    while (!devices_.empty()) Remove(devices_.back());
}

PDEVICE_OBJECT TestDriver::AddDevice(Handler handler, PDEVICE_OBJECT below, const std::wstring& name,
                                     ULONG characteristics) {
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name.c_str());
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(Handler*), name.empty() ? nullptr : &deviceName,
                                     FILE_DEVICE_UNKNOWN, characteristics, FALSE, &device);
    if (!NT_SUCCESS(status)) return nullptr;
    handlers_.push_back(std::make_unique<Handler>(std::move(handler)));
    *static_cast<Handler**>(device->DeviceExtension) = handlers_.back().get();
    if (below) IoAttachDeviceToDeviceStack(device, below);
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    devices_.push_back(device);
    return device;
}

void TestDriver::Remove(PDEVICE_OBJECT device) {
    auto it = std::find(devices_.begin(), devices_.end(), device);
    if (it == devices_.end()) return;
    devices_.erase(it);
    if (device->Sim->attachedTo) IoDetachDevice(device->Sim->attachedTo);
    IoDeleteDevice(device);
}

Handler CompleteWith(NTSTATUS status, ULONG_PTR information) {
    return [status, information](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

Handler PassDown(PDEVICE_OBJECT* lower) {
    return [lower](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(*lower, irp);
    };
}

Outcome SendBuiltRequest(ULONG major, PDEVICE_OBJECT device) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Outcome outcome{};
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    PIRP irp = IoBuildSynchronousFsdRequest(major, top, nullptr, 0, nullptr, &event, &outcome.block);
    outcome.returned = IoCallDriver(top, irp);
    if (outcome.returned == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return outcome;
}

}  // namespace test
