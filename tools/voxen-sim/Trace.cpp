#include "tools/voxen-sim/Trace.h"

#include "sim/kernel/StatusNames.h"
#include "sim/kernel/Violation.h"

namespace voxen {

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// Microseconds of virtual time, as the format counts.
std::string Micros(int64_t time) { return sim::Format("%lld.%01lld", static_cast<long long>(time / 10), static_cast<long long>(time % 10)); }

}  // namespace

std::string MajorName(UCHAR major) {
    static const char* const names[] = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
    return major < sizeof(names) / sizeof(names[0]) ? names[major] : sim::Format("IRP_MJ_0x%02X", major);
}

std::string MinorName(UCHAR major, UCHAR minor) {
    if (major == IRP_MJ_PNP) {
        static const char* const names[] = {
            "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE",
            "IRP_MN_CANCEL_REMOVE_DEVICE", "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE",
            "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE",
            "IRP_MN_QUERY_CAPABILITIES", "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
            "IRP_MN_QUERY_DEVICE_TEXT", "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "IRP_MN_0x0E", "IRP_MN_READ_CONFIG",
            "IRP_MN_WRITE_CONFIG", "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID",
            "IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_QUERY_BUS_INFORMATION", "IRP_MN_DEVICE_USAGE_NOTIFICATION",
            "IRP_MN_SURPRISE_REMOVAL"};
        if (minor < sizeof(names) / sizeof(names[0])) return names[minor];
    }
    if (major == IRP_MJ_POWER) {
        static const char* const names[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER",
                                            "IRP_MN_QUERY_POWER"};
        if (minor < 4) return names[minor];
    }
    if (major != IRP_MJ_PNP && major != IRP_MJ_POWER) return "";
    return sim::Format("IRP_MN_0x%02X", minor);
}

int Trace::Track(sim::Machine& machine, PDEVICE_OBJECT device) {
    auto it = tracks_.find(device);
    if (it != tracks_.end()) return it->second;
    int track = static_cast<int>(tracks_.size()) + 1;
    tracks_[device] = track;
    std::string label;
    for (auto& function : machine.Pci().Functions())
        for (PDEVICE_OBJECT member : machine.Stack(function.get()))
            if (member == device) label = function->Location().Text() + " " + function->Spec().name;
    if (label.empty()) label = device->Sim->name.empty() ? "(unnamed)" : sim::ToNarrow(device->Sim->name);
    label += " | " + sim::ToNarrow(sim::FromUnicodeString(&device->DriverObject->DriverName));
    if (boot_ > 1) label += sim::Format(" (boot %d)", boot_);
    events_.push_back(sim::Format(R"({"name":"thread_name","ph":"M","pid":1,"tid":%d,"args":{"name":"%s"}})", track,
                                  Escape(label).c_str()));
    return track;
}

void Trace::Attach(sim::Machine& machine) {
    ++boot_;
    tracks_.clear();
    open_.clear();
    machine.Os().Io().SetObserver([this, &machine](const sim::IrpEvent& event) {
        int64_t now = machine.Os().Threads().Now();
        std::string name = MajorName(event.major);
        std::string minor = MinorName(event.major, event.minor);
        if (!minor.empty()) name += " " + minor;
        switch (event.kind) {
        case sim::IrpEvent::Kind::Dispatch:
            open_[{event.irp, event.device}].push_back(Open{now, Track(machine, event.device)});
            break;
        case sim::IrpEvent::Kind::Return: {
            auto& stack = open_[{event.irp, event.device}];
            if (stack.empty()) break;
            Open begun = stack.back();
            stack.pop_back();
            events_.push_back(sim::Format(
                R"({"name":"%s","cat":"irp","ph":"X","ts":%s,"dur":%s,"pid":1,"tid":%d,"args":{"irp":%llu,"returned":"%s"}})",
                name.c_str(), Micros(begun.at).c_str(), Micros(now - begun.at).c_str(), begun.track,
                static_cast<unsigned long long>(event.irpSequence), sim::StatusName(event.status).c_str()));
            break;
        }
        case sim::IrpEvent::Kind::Complete:
            events_.push_back(sim::Format(
                R"({"name":"complete %s","cat":"irp","ph":"i","s":"t","ts":%s,"pid":1,"tid":%d,"args":{"irp":%llu,"status":"%s"}})",
                name.c_str(), Micros(now).c_str(), event.device ? Track(machine, event.device) : 0,
                static_cast<unsigned long long>(event.irpSequence), sim::StatusName(event.status).c_str()));
            break;
        }
    });
}

bool Trace::Write() const {
    FILE* file = std::fopen(path_.c_str(), "w");
    if (!file) return false;
    std::fprintf(file, "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n");
    std::fprintf(file, R"({"name":"process_name","ph":"M","pid":1,"args":{"name":"voxen-sim: device stacks"}})");
    for (const std::string& event : events_) std::fprintf(file, ",\n%s", event.c_str());
    std::fprintf(file, "\n]}\n");
    return std::fclose(file) == 0;
}

}  // namespace voxen
