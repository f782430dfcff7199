// An in-memory registry: keys by full path (case-insensitive), typed values,
// the Zw services over handles, and a log of what drivers did to it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/ddk/wdm.h"

namespace sim {

class RegistryHive {
public:
    struct Value {
        ULONG type = REG_NONE;
        std::vector<uint8_t> data;
    };

    // Set-up and inspection, as an installer or administrator would.
    void CreateKey(const std::wstring& key);
    void SetValue(const std::wstring& key, const std::wstring& name, ULONG type, const void* data, size_t size);
    void SetDword(const std::wstring& key, const std::wstring& name, ULONG value);
    void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value);
    bool DeleteValue(const std::wstring& key, const std::wstring& name);
    std::optional<Value> GetValue(const std::wstring& key, const std::wstring& name) const;
    std::optional<ULONG> GetDword(const std::wstring& key, const std::wstring& name) const;
    // In the order they were first written.
    std::vector<std::pair<std::wstring, Value>> Values(const std::wstring& key) const;

    // Every open, query and write a driver made, one line each ("open KEY",
    // "query KEY NAME", "set KEY NAME").
    const std::vector<std::string>& Accesses() const { return accesses_; }
    void ClearAccesses() { accesses_.clear(); }

    // Kernel services; handles are allocated by the kernel's handle table.
    NTSTATUS OpenKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
    NTSTATUS QueryValue(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS kind, PVOID buffer,
                        ULONG length, PULONG resultLength);
    NTSTATUS SetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG type, PVOID data, ULONG size);

private:
    struct Key {
        std::wstring name;  // as first spelled
        std::vector<std::pair<std::wstring, Value>> values;
    };
    static std::wstring Fold(const std::wstring& text);
    Key* FindKey(const std::wstring& key);
    const Key* FindKey(const std::wstring& key) const;
    std::wstring KeyOf(HANDLE handle, const char* service) const;

    std::map<std::wstring, Key> keys_;
    std::vector<std::string> accesses_;
};

}  // namespace sim
