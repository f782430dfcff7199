#include "config/Registry.h"

#include "common/DriverGlobals.h"
#include "common/PoolTags.h"

namespace {

// Query, set, create subkey, enumerate, notify, delete and read control.
constexpr ACCESS_MASK ServiceKeyAccess = 0x3001F;

void SavePath(PUNICODE_STRING Path) {
    UNICODE_STRING& saved = DriverGlobals.SavedRegistryPath;
    if (saved.Buffer != nullptr || Path->Buffer == nullptr || Path->MaximumLength < Path->Length) return;
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, Path->MaximumLength, TagNode));
    if (buffer == nullptr) return;
    RtlCopyMemory(buffer, Path->Buffer, Path->MaximumLength);
    saved.Buffer = buffer;
    saved.Length = Path->Length;
    saved.MaximumLength = Path->MaximumLength;
}

}  // namespace

HANDLE OpenServiceKey(PUNICODE_STRING Path) {
    if (Path == nullptr) return nullptr;
    SavePath(Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, Path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, ServiceKeyAccess, &attributes);
    if (status != STATUS_SUCCESS || key == nullptr) return nullptr;
    return key;
}

void ForgetServiceKeyPath() {
    UNICODE_STRING& saved = DriverGlobals.SavedRegistryPath;
    if (saved.Buffer != nullptr) ExFreePoolWithTag(saved.Buffer, TagNode);
    saved.Buffer = nullptr;
    saved.Length = saved.MaximumLength = 0;
}

BOOLEAN QueryDwordValue(HANDLE Key, PCWSTR Name, PULONG Value) {
    if (Key == nullptr || Name == nullptr) return FALSE;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    // Room for the information header and a DWORD, with some to spare.
    ULONG buffer[5];
    RtlZeroMemory(buffer, sizeof(buffer));
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, sizeof(buffer), &length);
    // A REG_DWORD shorter than four bytes has no value to give.
    if (status != STATUS_SUCCESS || info->Type != REG_DWORD || info->DataLength < sizeof(ULONG)) return FALSE;
    RtlCopyMemory(Value, info->Data, sizeof(ULONG));
    return TRUE;
}

BOOLEAN SetDwordValue(HANDLE Key, PCWSTR Name, ULONG Value) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    return ZwSetValueKey(Key, &name, 0, REG_DWORD, &Value, sizeof(Value)) == STATUS_SUCCESS;
}
