#include "control/ControlDevice.h"

#include "common/DriverGlobals.h"

namespace {

// A SID with up to two sub-authorities, laid out as the kernel reads one.
struct SmallSid {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    UCHAR IdentifierAuthority[6];
    ULONG SubAuthority[2];
};

// S-1-5-18, the local system account, and S-1-5-32-544, the Administrators group.
const SmallSid LocalSystemSid = {1, 1, {0, 0, 0, 0, 0, 5}, {18, 0}};
const SmallSid AdministratorsSid = {1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};

// "D:P(A;;GA;;;SY)(A;;GA;;;BA)": without it any process could open the device
// and switch the machine's devices off. Built from Rtl calls every supported
// Windows exports (IoCreateDeviceSecure is a library routine, not an export).
NTSTATUS ProtectDevice(PDEVICE_OBJECT Device) {
    PSID system = const_cast<SmallSid*>(&LocalSystemSid);
    PSID administrators = const_cast<SmallSid*>(&AdministratorsSid);
    ULONG aclLength = sizeof(ACL) + 2 * FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + RtlLengthSid(system) +
                      RtlLengthSid(administrators);
    ULONG aclBuffer[32];  // the ACL must be dword-aligned
    if (aclLength > sizeof(aclBuffer)) return STATUS_BUFFER_TOO_SMALL;
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    NTSTATUS status = RtlCreateAcl(acl, aclLength, ACL_REVISION);
    if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, system);
    if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, administrators);

    SECURITY_DESCRIPTOR descriptor;
    if (NT_SUCCESS(status)) status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    if (!NT_SUCCESS(status)) return status;
    descriptor.Control |= SE_DACL_PROTECTED;  // nothing inherited

    HANDLE handle = nullptr;
    status = ObOpenObjectByPointer(Device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle);
    if (!NT_SUCCESS(status)) return status;
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
    ZwClose(handle);
    return status;
}

}  // namespace

NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject) {
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, VOXEN_CONTROL_DEVICE_NAME);
    PDEVICE_OBJECT device = nullptr;
    // Secure open: the DACL also guards opens of names below the device's.
    NTSTATUS status =
        IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;

    status = ProtectDevice(device);
    if (!NT_SUCCESS(status)) {
        // Better no control device than one anybody may open.
        DbgPrint("VoxenPCI: the control device could not be protected (0x%08X); it is not created\n",
                 static_cast<unsigned>(status));
        IoDeleteDevice(device);
        return status;
    }

    // The service opens the device by this name; the kernel's own uses need no link.
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, VOXEN_CONTROL_LINK_NAME);
    IoCreateSymbolicLink(&linkName, &deviceName);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    DriverGlobals.ControlDevice = device;
    return STATUS_SUCCESS;
}
