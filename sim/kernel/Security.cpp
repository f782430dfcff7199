// Security descriptors as the kernel's Rtl routines build them, applied to
// device objects through a handle, and checked when user mode opens a device.
#include "sim/kernel/Security.h"

#include <cstring>
#include <vector>

#include "sim/kernel/Irql.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

namespace {

constexpr size_t kSidHeader = 8;  // revision, count, 6-byte authority
constexpr UCHAR kMaxSubAuthorities = 15;

// The groups in each kind of caller's token.
std::vector<std::string> TokenSids(Caller caller) {
    std::vector<std::string> everyone = {"S-1-1-0", "S-1-5-11"};  // Everyone, Authenticated Users
    switch (caller) {
    case Caller::Kernel:
    case Caller::System: everyone.push_back("S-1-5-18"); everyone.push_back("S-1-5-32-544"); break;
    case Caller::Administrator: everyone.push_back("S-1-5-32-544"); everyone.push_back("S-1-5-32-545"); break;
    case Caller::User: everyone.push_back("S-1-5-32-545"); break;
    }
    return everyone;
}

// GENERIC_ALL grants every right; other generic rights are mapped as for files.
ACCESS_MASK Mapped(ACCESS_MASK mask) {
    if (mask & GENERIC_ALL) return 0xFFFFFFFF;
    if (mask & GENERIC_READ) mask |= 0x00120089;
    if (mask & GENERIC_WRITE) mask |= 0x00120116;
    if (mask & GENERIC_EXECUTE) mask |= 0x001200A0;
    return mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
}

}  // namespace

bool WellFormedSid(const void* sid) {
    if (!sid) return false;
    auto* bytes = static_cast<const UCHAR*>(sid);
    return bytes[0] == 1 && bytes[1] <= kMaxSubAuthorities;
}

ULONG SidLength(const void* sid) { return static_cast<ULONG>(kSidHeader + 4 * static_cast<const UCHAR*>(sid)[1]); }

std::string SidText(const void* sid) {
    if (!WellFormedSid(sid)) return {};
    auto* bytes = static_cast<const UCHAR*>(sid);
    unsigned long long authority = 0;
    for (int i = 2; i < 8; ++i) authority = authority << 8 | bytes[i];
    std::string text = "S-1-" + std::to_string(authority);
    for (UCHAR i = 0; i < bytes[1]; ++i) {
        ULONG sub;
        std::memcpy(&sub, bytes + kSidHeader + 4 * i, 4);
        text += "-" + std::to_string(sub);
    }
    return text;
}

bool AccessGranted(PDEVICE_OBJECT device, Caller caller, ACCESS_MASK access) {
    if (caller == Caller::Kernel) return true;
    DeviceRecord* record = device->Sim;
    if (record->rule == AccessRule::AdministratorsAndSystem && caller == Caller::User) return false;
    if (!record->hasDacl) return true;
    ACCESS_MASK wanted = Mapped(access);
    ACCESS_MASK granted = 0;
    for (const std::string& sid : TokenSids(caller))
        for (const auto& [allowed, mask] : record->dacl)
            if (allowed == sid) granted |= Mapped(mask);
    return wanted != 0 ? (granted & wanted) == wanted : granted != 0;
}

}  // namespace sim

using sim::Kernel;
using sim::SidLength;
using sim::WellFormedSid;

extern "C" {

NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, ULONG revision) {
    sim::KernelEntry inKernel;
    if (revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    std::memset(descriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<PISECURITY_DESCRIPTOR>(descriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, BOOLEAN present, PACL dacl, BOOLEAN defaulted) {
    sim::KernelEntry inKernel;
    auto* sd = static_cast<PISECURITY_DESCRIPTOR>(descriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    if (!present) {
        sd->Control &= ~SE_DACL_PRESENT;
        sd->Dacl = nullptr;
        return STATUS_SUCCESS;
    }
    (void)defaulted;
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = dacl;
    return STATUS_SUCCESS;
}

NTSTATUS RtlCreateAcl(PACL acl, ULONG length, ULONG revision) {
    sim::KernelEntry inKernel;
    if (length < sizeof(ACL) || length > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
    if (revision != ACL_REVISION) return STATUS_INVALID_PARAMETER;
    std::memset(acl, 0, sizeof(ACL));
    acl->AclRevision = static_cast<UCHAR>(revision);
    acl->AclSize = static_cast<USHORT>(length & ~3u);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAddAccessAllowedAce(PACL acl, ULONG revision, ACCESS_MASK mask, PSID sid) {
    sim::KernelEntry inKernel;
    if (!WellFormedSid(sid)) return STATUS_INVALID_SID;
    if (acl->AclRevision != ACL_REVISION || revision != ACL_REVISION) return STATUS_REVISION_MISMATCH;
    auto* bytes = reinterpret_cast<UCHAR*>(acl);
    size_t used = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; ++i) used += reinterpret_cast<PACE_HEADER>(bytes + used)->AceSize;
    size_t size = offsetof(ACCESS_ALLOWED_ACE, SidStart) + SidLength(sid);
    if (used + size > acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;
    auto* ace = reinterpret_cast<PACCESS_ALLOWED_ACE>(bytes + used);
    ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace->Header.AceFlags = 0;
    ace->Header.AceSize = static_cast<USHORT>(size);
    ace->Mask = mask;
    std::memcpy(&ace->SidStart, sid, SidLength(sid));
    ++acl->AceCount;
    return STATUS_SUCCESS;
}

ULONG RtlLengthSid(PSID sid) { return SidLength(sid); }
BOOLEAN RtlValidSid(PSID sid) { return WellFormedSid(sid); }

NTSTATUS ObOpenObjectByPointer(PVOID object, ULONG attributes, PACCESS_STATE state, ACCESS_MASK access,
                               POBJECT_TYPE type, KPROCESSOR_MODE mode, PHANDLE handle) {
    sim::KernelEntry inKernel;
    sim::RequireIrql("ObOpenObjectByPointer");
    Kernel& kernel = Kernel::Current();
    if (!(attributes & OBJ_KERNEL_HANDLE))
        sim::Violation("ObOpenObjectByPointer from a driver without OBJ_KERNEL_HANDLE: the handle would belong to "
                       "the calling process");
    if (NTSTATUS failing = kernel.FailurePoint("ObOpenObjectByPointer"); !NT_SUCCESS(failing)) return failing;
    if (state) return STATUS_NOT_IMPLEMENTED;
    if (mode != KernelMode) sim::Violation("ObOpenObjectByPointer in UserMode from a driver");
    if (type) return STATUS_OBJECT_TYPE_MISMATCH;  // the simulator has no object types to offer
    if (!kernel.Objects().IsDevice(object)) return STATUS_OBJECT_TYPE_MISMATCH;
    ObfReferenceObject(object);
    *handle = kernel.Handles().OpenObject(object, access,
                                          kernel.Objects().Describe(static_cast<PDEVICE_OBJECT>(object)));
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
    sim::KernelEntry inKernel;
    sim::RequireIrql("ZwSetSecurityObject");
    Kernel& kernel = Kernel::Current();
    ACCESS_MASK access = 0;
    PVOID object = kernel.Handles().Object(handle, &access);
    if (!object) return STATUS_INVALID_HANDLE;
    if (NTSTATUS failing = kernel.FailurePoint("ZwSetSecurityObject"); !NT_SUCCESS(failing)) return failing;
    if (!descriptor) return STATUS_ACCESS_VIOLATION;
    if (information != DACL_SECURITY_INFORMATION) return STATUS_NOT_IMPLEMENTED;
    if (!(access & (WRITE_DAC | GENERIC_ALL))) return STATUS_ACCESS_DENIED;
    auto* sd = static_cast<PISECURITY_DESCRIPTOR>(descriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    std::vector<std::pair<std::string, ACCESS_MASK>> dacl;
    if (sd->Control & SE_DACL_PRESENT) {
        PACL acl = sd->Dacl;
        if (!acl || acl->AclRevision != ACL_REVISION) return STATUS_INVALID_ACL;
        auto* bytes = reinterpret_cast<const UCHAR*>(acl);
        size_t at = sizeof(ACL);
        for (USHORT i = 0; i < acl->AceCount; ++i) {
            auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(bytes + at);
            if (at + sizeof(ACE_HEADER) > acl->AclSize || at + ace->Header.AceSize > acl->AclSize)
                return STATUS_INVALID_ACL;
            if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) return STATUS_NOT_IMPLEMENTED;
            std::string sid = sim::SidText(&ace->SidStart);
            if (sid.empty()) return STATUS_INVALID_SID;
            dacl.emplace_back(sid, ace->Mask);
            at += ace->Header.AceSize;
        }
    } else {
        dacl.emplace_back("S-1-1-0", GENERIC_ALL);  // no DACL: everyone is let in
    }
    auto* device = static_cast<PDEVICE_OBJECT>(object);
    device->Sim->hasDacl = true;
    device->Sim->daclProtected = (sd->Control & SE_DACL_PROTECTED) != 0;
    device->Sim->dacl = std::move(dacl);
    return STATUS_SUCCESS;
}

}  // extern "C"
