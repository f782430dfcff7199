#include "sim/kernel/Registry.h"

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Violation.h"

namespace sim {

std::wstring RegistryHive::Fold(const std::wstring& text) {
    std::wstring folded = text;
    for (wchar_t& c : folded)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return folded;
}

RegistryHive::Key* RegistryHive::FindKey(const std::wstring& key) {
    auto it = keys_.find(Fold(key));
    return it == keys_.end() ? nullptr : &it->second;
}

const RegistryHive::Key* RegistryHive::FindKey(const std::wstring& key) const {
    auto it = keys_.find(Fold(key));
    return it == keys_.end() ? nullptr : &it->second;
}

void RegistryHive::CreateKey(const std::wstring& key) {
    if (!FindKey(key)) keys_[Fold(key)] = Key{key, {}};
}

void RegistryHive::SetValue(const std::wstring& key, const std::wstring& name, ULONG type, const void* data, size_t size) {
    CreateKey(key);
    Key* target = FindKey(key);
    Value value{type, std::vector<uint8_t>(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size)};
    for (auto& [existing, stored] : target->values) {
        if (Fold(existing) == Fold(name)) {
            stored = std::move(value);
            return;
        }
    }
    target->values.emplace_back(name, std::move(value));
}

void RegistryHive::SetDword(const std::wstring& key, const std::wstring& name, ULONG value) {
    SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

void RegistryHive::SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
    // REG_SZ data is UTF-16 with its terminator, whatever WCHAR is on the host.
    std::vector<uint8_t> data;
    for (wchar_t c : value) {
        data.push_back(static_cast<uint8_t>(c & 0xFF));
        data.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
    }
    data.push_back(0);
    data.push_back(0);
    SetValue(key, name, REG_SZ, data.data(), data.size());
}

bool RegistryHive::DeleteValue(const std::wstring& key, const std::wstring& name) {
    Key* target = FindKey(key);
    if (!target) return false;
    for (auto it = target->values.begin(); it != target->values.end(); ++it) {
        if (Fold(it->first) == Fold(name)) {
            target->values.erase(it);
            return true;
        }
    }
    return false;
}

std::optional<RegistryHive::Value> RegistryHive::GetValue(const std::wstring& key, const std::wstring& name) const {
    const Key* target = FindKey(key);
    if (!target) return std::nullopt;
    for (auto& [existing, value] : target->values)
        if (Fold(existing) == Fold(name)) return value;
    return std::nullopt;
}

std::optional<ULONG> RegistryHive::GetDword(const std::wstring& key, const std::wstring& name) const {
    auto value = GetValue(key, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
    ULONG result;
    std::memcpy(&result, value->data.data(), 4);
    return result;
}

std::vector<std::pair<std::wstring, RegistryHive::Value>> RegistryHive::Values(const std::wstring& key) const {
    const Key* target = FindKey(key);
    return target ? target->values : std::vector<std::pair<std::wstring, Value>>{};
}

std::wstring RegistryHive::KeyOf(HANDLE handle, const char* service) const {
    const std::wstring* key = Kernel::Current().Handles().Key(handle);
    if (!key) Violation("%s with %p, which is not an open key handle", service, handle);
    return *key;
}

namespace {
constexpr ACCESS_MASK kKeyQueryValue = 0x0001;
constexpr ACCESS_MASK kKeySetValue = 0x0002;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;

// The key rights a desired access grants, generic rights mapped as for keys.
ACCESS_MASK KeyRights(ACCESS_MASK access) {
    if (access & (GENERIC_ALL | kMaximumAllowed)) return KEY_ALL_ACCESS;
    if (access & GENERIC_READ) access |= KEY_READ;
    if (access & GENERIC_WRITE) access |= KEY_WRITE;
    return access;
}
}  // namespace

NTSTATUS RegistryHive::OpenKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) {
    if (!handle || !attributes || !attributes->ObjectName) Violation("ZwOpenKey without a handle or a key name");
    if (attributes->RootDirectory) return STATUS_NOT_IMPLEMENTED;
    if (!(attributes->Attributes & OBJ_KERNEL_HANDLE))
        Violation("ZwOpenKey from a driver without OBJ_KERNEL_HANDLE: the handle would belong to the calling process");
    std::wstring path = FromUnicodeString(attributes->ObjectName);
    accesses_.push_back("open " + ToNarrow(path));
    const Key* key = FindKey(path);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    *handle = Kernel::Current().Handles().OpenKey(key->name, KeyRights(access));
    return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::QueryValue(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind, PVOID buffer,
                              ULONG length, PULONG resultLength) {
    std::wstring key = KeyOf(handle, "ZwQueryValueKey");
    std::wstring valueName = FromUnicodeString(name);
    accesses_.push_back("query " + ToNarrow(key) + " " + ToNarrow(valueName));
    if (!(Kernel::Current().Handles().KeyAccess(handle) & kKeyQueryValue)) return STATUS_ACCESS_DENIED;
    if (kind != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
    if (!resultLength) Violation("ZwQueryValueKey without a result length");
    auto value = GetValue(key, valueName);
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG needed = header + static_cast<ULONG>(value->data.size());
    *resultLength = needed;
    if (length < header) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    info->TitleIndex = 0;
    info->Type = value->type;
    info->DataLength = static_cast<ULONG>(value->data.size());
    if (length < needed) return STATUS_BUFFER_OVERFLOW;
    if (!value->data.empty()) std::memcpy(info->Data, value->data.data(), value->data.size());
    return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::SetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG type, PVOID data, ULONG size) {
    std::wstring key = KeyOf(handle, "ZwSetValueKey");
    std::wstring valueName = FromUnicodeString(name);
    accesses_.push_back("set " + ToNarrow(key) + " " + ToNarrow(valueName));
    if (!(Kernel::Current().Handles().KeyAccess(handle) & kKeySetValue)) return STATUS_ACCESS_DENIED;
    SetValue(key, valueName, type, data, size);
    return STATUS_SUCCESS;
}

}  // namespace sim
