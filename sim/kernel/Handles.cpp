#include "sim/kernel/Handles.h"

#include "sim/kernel/Objects.h"
#include "sim/kernel/Violation.h"

namespace sim {

HANDLE HandleTable::OpenKey(const std::wstring& key, ACCESS_MASK access) {
    uintptr_t value = next_;
    next_ += 4;
    handles_[value] = Entry{true, key, access, {}, resident_};
    return reinterpret_cast<HANDLE>(value);
}

ACCESS_MASK HandleTable::KeyAccess(HANDLE handle) const {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles_.end() ? 0 : it->second.access;
}

HANDLE HandleTable::OpenThread(const std::string& name) {
    uintptr_t value = next_;
    next_ += 4;
    handles_[value] = Entry{false, {}, 0, name, resident_};
    return reinterpret_cast<HANDLE>(value);
}

const std::wstring* HandleTable::Key(HANDLE handle) const {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles_.end() || !it->second.isKey ? nullptr : &it->second.key;
}

NTSTATUS HandleTable::Close(HANDLE handle) {
    if (!handles_.erase(reinterpret_cast<uintptr_t>(handle)))
        Violation("ZwClose of %p, which is not an open kernel handle (closed twice?)", handle);
    return STATUS_SUCCESS;
}

std::vector<std::string> HandleTable::Leaks() const {
    std::vector<std::string> leaks;
    for (auto& [value, entry] : handles_) {
        if (entry.resident) continue;
        leaks.push_back(entry.isKey ? Format("registry key handle 0x%llx (%s) was never closed",
                                             static_cast<unsigned long long>(value), ToNarrow(entry.key).c_str())
                                    : Format("thread handle 0x%llx (%s) was never closed",
                                             static_cast<unsigned long long>(value), entry.thread.c_str()));
    }
    return leaks;
}

}  // namespace sim
