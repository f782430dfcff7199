// Kernel handles: registry keys and system threads, closed with ZwClose.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/ddk/wdm.h"

namespace sim {

class HandleTable {
public:
    HANDLE OpenKey(const std::wstring& key, ACCESS_MASK access);
    // What a key handle was opened for.
    ACCESS_MASK KeyAccess(HANDLE handle) const;
    HANDLE OpenThread(const std::string& name);
    const std::wstring* Key(HANDLE handle) const;
    NTSTATUS Close(HANDLE handle);
    size_t OpenCount() const { return handles_.size(); }

    void SetResident(bool resident) { resident_ = resident; }
    void RevokeResidency() {
        for (auto& [value, entry] : handles_) {
            (void)value;
            entry.resident = false;
        }
    }
    std::vector<std::string> Leaks() const;

private:
    struct Entry {
        bool isKey;
        std::wstring key;
        ACCESS_MASK access;
        std::string thread;
        bool resident;
    };
    std::map<uintptr_t, Entry> handles_;
    uintptr_t next_ = 0x80000004;  // kernel handles have the top bit set
    bool resident_ = false;
};

}  // namespace sim
