#include "tools/voxen-sim/Trace.h"

#include <algorithm>
#include <cstdio>

#include "sim/kernel/StatusNames.h"
#include "sim/kernel/Violation.h"

namespace voxen {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);
constexpr int kThreads = 1;  // the groups of tracks, as trace "processes"
constexpr int kDevices = 2;
constexpr int kIrps = 3;
const char* const kGroupNames[] = {"", "threads", "device stacks", "IRPs"};

// Microseconds of virtual time, as the format counts.
std::string Micros(int64_t time) {
    return sim::Format("%lld.%01lld", static_cast<long long>(time / 10), static_cast<long long>(time % 10));
}

// The length of the UTF-8 sequence at `at`, or 0 when it is not one.
size_t Utf8Length(const std::string& text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char first = byte(at);
    size_t length = first < 0x80 ? 1 : (first & 0xE0) == 0xC0 ? 2 : (first & 0xF0) == 0xE0 ? 3 : (first & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    unsigned code = length == 1 ? first : first & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) code = code << 6 | (byte(at + i) & 0x3F);
    static const unsigned kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kShortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

std::string Member(const char* name, const std::string& text) { return JsonString(name) + ":" + JsonString(text); }
std::string Member(const char* name, unsigned long long number) {
    return JsonString(name) + ":" + std::to_string(number);
}
std::string Join(const std::string& a, const std::string& b) { return a.empty() ? b : b.empty() ? a : a + "," + b; }

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = Utf8Length(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            out += sim::Format("\\u%04x", c);
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out + "\"";
}

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


Trace::Trace(const std::string& path) : path_(path) {
    sim::SetStopHook([this] { Write(); });
}

Trace::~Trace() { sim::SetStopHook(nullptr); }

int64_t Trace::Stamp() {
    if (machine_) last_ = std::max(last_, base_ + machine_->Os().Threads().Now());
    return last_;
}

int Trace::Track(int pid, const std::string& label) {
    auto [it, added] = tracks_.emplace(std::make_pair(pid, label), 0);
    if (added) {
        int tid = 1;
        for (auto& [key, used] : trackNames_)
            if (key.first == pid) tid = std::max(tid, key.second + 1);
        it->second = tid;
        trackNames_[{pid, tid}] = label;
    }
    return it->second;
}

// The script runs on the thread the kernel adopts (id 1): one track for every
// boot. The machine's own threads are new at each boot.
int Trace::ThreadTrack() {
    sim::Scheduler& threads = machine_->Os().Threads();
    int id = threads.CurrentThreadId();
    if (id == 1) return Track(kThreads, "script");
    std::string label = sim::Format("%s #%d", threads.CurrentThreadName().c_str(), id);
    if (boot_ > 1) label += sim::Format(" (boot %d)", boot_);
    return Track(kThreads, label);
}

std::string Trace::DeviceLabel(PDEVICE_OBJECT device) {
    std::string label;
    for (auto& function : machine_->Pci().Functions())
        for (PDEVICE_OBJECT member : machine_->Stack(function.get()))
            if (member == device) label = function->Location().Text() + " " + function->Spec().name;
    if (label.empty()) label = device->Sim->name.empty() ? "(unnamed)" : sim::ToNarrow(device->Sim->name);
    label += " | " + sim::ToNarrow(sim::FromUnicodeString(&device->DriverObject->DriverName));
    if (boot_ > 1) label += sim::Format(" (boot %d)", boot_);
    return label;
}

size_t Trace::Open(int pid, int tid, const std::string& name, const std::string& cat, int64_t begin, std::string args) {
    spans_.push_back(Span{pid, tid, name, cat, begin, -1, false, std::move(args)});
    return spans_.size() - 1;
}

void Trace::Close(size_t span, int64_t end, const std::string& moreArgs) {
    spans_[span].end = end;
    spans_[span].args = Join(spans_[span].args, moreArgs);
}

void Trace::Attach(sim::Machine& machine) {
    Detach();
    ++boot_;
    machine_ = &machine;
    base_ = last_;
    calls_.clear();
    lanes_.clear();
    std::string name = machine.Spec().name.empty() ? "machine" : machine.Spec().name;
    bootSpan_ = Open(kThreads, Track(kThreads, "machine"), sim::Format("boot %d", boot_), "boot", base_,
                     Member("machine", name));
    machine.Os().Io().SetObserver([this](const sim::IrpEvent& event) { OnIrp(event); });
    machine.Os().Threads().SetWaitObserver([this](const sim::WaitSpan& wait) { OnWait(wait); });
}

void Trace::Detach() {
    if (!machine_) return;
    Stamp();
    machine_->Os().Io().SetObserver(nullptr);
    machine_->Os().Threads().SetWaitObserver(nullptr);
    machine_ = nullptr;
    if (bootSpan_ != kNone) Close(bootSpan_, last_, "");
    bootSpan_ = kNone;
}

void Trace::BeginCommand(const std::string& text) {
    commands_.push_back(Open(kThreads, Track(kThreads, "script"), text, "script", Stamp(), ""));
}

void Trace::EndCommand() {
    if (commands_.empty()) return;
    Close(commands_.back(), Stamp(), "");
    commands_.pop_back();
}

void Trace::OnIrp(const sim::IrpEvent& event) {
    int64_t now = Stamp();
    std::string name = MajorName(event.major);
    std::string minor = MinorName(event.major, event.minor);
    if (!minor.empty()) name += " " + minor;
    int thread = ThreadTrack();
    std::vector<Call>& calls = calls_[thread];
    switch (event.kind) {
    case sim::IrpEvent::Kind::Dispatch: {
        std::string label = DeviceLabel(event.device);
        std::string args = Member("irp", event.irpSequence);
        const IO_STACK_LOCATION* location = event.location;
        if (event.major == IRP_MJ_DEVICE_CONTROL || event.major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
            args = Join(args, Member("ioctl", sim::Format("0x%08X", location->Parameters.DeviceIoControl.IoControlCode)));
        if (event.major == IRP_MJ_PNP && (event.minor == IRP_MN_READ_CONFIG || event.minor == IRP_MN_WRITE_CONFIG))
            args = Join(args, Member("offset", sim::Format("0x%03X", location->Parameters.ReadWriteConfig.Offset)) + "," +
                                  Member("length", location->Parameters.ReadWriteConfig.Length));
        if (event.major == IRP_MJ_POWER &&
            (event.minor == IRP_MN_SET_POWER || event.minor == IRP_MN_QUERY_POWER) &&
            location->Parameters.Power.Type == DevicePowerState)
            args = Join(args, Member("state", sim::Format("D%d", location->Parameters.Power.State.DeviceState - 1)));

        Call call{event.irpSequence, kNone, kNone, 0, 0};
        bool outer = std::none_of(calls.begin(), calls.end(), [&](const Call& c) { return c.irp == event.irpSequence; });
        auto key = std::make_pair(boot_, event.irpSequence);
        uint64_t within = calls.empty() ? 0 : calls.back().irp;
        if (outer) {
            std::string threadArgs = Join(args, Member("to", label));
            if (within) threadArgs = Join(threadArgs, Member("within", within));
            call.threadSpan = Open(kThreads, thread, name, "irp", now, threadArgs);
        }
        if (!irps_.count(key)) {
            std::string irpArgs = Join(args, Member("to", label));
            if (within) irpArgs = Join(irpArgs, Member("within", within));
            irps_[key] = Irp{name, now, -1, "", trackNames_[{kThreads, thread}], irpArgs, boot_, within};
        }

        // A device's dispatches on one thread nest; one on another thread that
        // overlaps them goes to a lane of its own.
        call.deviceTrack = Track(kDevices, label);
        std::vector<Lane>& lanes = lanes_[call.deviceTrack];
        size_t lane = 0;
        while (lane < lanes.size() && lanes[lane].depth != 0 && lanes[lane].owner != thread) ++lane;
        if (lane == lanes.size())
            lanes.push_back(Lane{lane == 0 ? call.deviceTrack : Track(kDevices, label + sim::Format(" [%zu]", lane + 1))});
        lanes[lane].owner = thread;
        ++lanes[lane].depth;
        call.lane = lane;
        call.deviceSpan = Open(kDevices, lanes[lane].tid, name, "irp", now, args);
        calls.push_back(call);
        break;
    }
    case sim::IrpEvent::Kind::Return: {
        auto it = std::find_if(calls.rbegin(), calls.rend(), [&](const Call& c) { return c.irp == event.irpSequence; });
        if (it == calls.rend()) break;
        Call call = *it;
        calls.erase(std::next(it).base());
        std::string returned = Member("returned", sim::StatusName(event.status));
        if (call.threadSpan != kNone) Close(call.threadSpan, now, returned);
        Close(call.deviceSpan, now, returned);
        --lanes_[call.deviceTrack][call.lane].depth;
        break;
    }
    case sim::IrpEvent::Kind::Complete: {
        std::string status = sim::StatusName(event.status);
        size_t at = Open(kThreads, thread, "complete " + name, "irp", now,
                         Member("irp", event.irpSequence) + "," + Member("status", status));
        spans_[at].end = now;
        spans_[at].instant = true;
        auto found = irps_.find(std::make_pair(boot_, event.irpSequence));
        if (found != irps_.end()) {
            found->second.completed = now;
            found->second.status = status;
        }
        break;
    }
    }
}

void Trace::OnWait(const sim::WaitSpan& wait) {
    static const char* const names[] = {"KeDelayExecutionThread", "KeWaitForSingleObject", "advance",
                                        "waits for the machine to settle"};
    int64_t end = Stamp();
    int64_t begin = base_ + wait.begin;
    size_t span = Open(kThreads, ThreadTrack(), names[static_cast<int>(wait.kind)], "wait", begin,
                       Member("what", wait.what) + "," + Member("ended", sim::StatusName(wait.status)));
    spans_[span].end = end;
}

bool Trace::Write() {
    Stamp();
    std::vector<Span> spans = spans_;
    for (Span& span : spans)
        if (span.end < 0) {
            span.end = last_;
            span.args = Join(span.args, "\"unfinished\":true");
        }

    // Every IRP from its first dispatch to its last completion: in the lane of
    // the IRP it was sent within when it nests there, else in the first lane
    // where it nests in what is under way or follows what ended.
    std::vector<const Irp*> irps;
    std::map<const Irp*, size_t> laneOf;
    for (auto& [key, irp] : irps_) irps.push_back(&irp);
    std::stable_sort(irps.begin(), irps.end(), [this](const Irp* a, const Irp* b) {
        int64_t aEnd = a->completed < 0 ? last_ : a->completed, bEnd = b->completed < 0 ? last_ : b->completed;
        return a->begin != b->begin ? a->begin < b->begin : aEnd > bEnd;
    });
    std::vector<std::vector<int64_t>> lanes;  // per lane, the ends of the spans under way
    std::map<std::pair<int, int>, std::string> names = trackNames_;
    for (const Irp* irp : irps) {
        int64_t end = irp->completed < 0 ? last_ : std::max(irp->completed, irp->begin);
        auto fits = [&](size_t lane) {
            std::vector<int64_t>& open = lanes[lane];
            while (!open.empty() && open.back() <= irp->begin && open.back() < end) open.pop_back();
            return open.empty() || open.back() >= end;
        };
        size_t lane = lanes.size();
        auto parent = irp->within ? irps_.find(std::make_pair(irp->boot, irp->within)) : irps_.end();
        if (parent != irps_.end() && laneOf.count(&parent->second) && fits(laneOf[&parent->second]))
            lane = laneOf[&parent->second];
        else
            for (lane = 0; lane < lanes.size() && !fits(lane);) ++lane;
        if (lane == lanes.size()) lanes.emplace_back();
        laneOf[irp] = lane;
        lanes[lane].push_back(end);
        int tid = static_cast<int>(lane) + 1;
        names[{kIrps, tid}] = sim::Format("lane %d", tid);
        std::string args = Join(irp->args, Member("sender", irp->sender) + "," + Member("boot", irp->boot));
        args = Join(args, irp->completed < 0 ? "\"unfinished\":true" : Member("status", irp->status));
        spans.push_back(Span{kIrps, tid, irp->name, "irp", irp->begin, end, false, args});
    }
    std::stable_sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.end > b.end;
    });

    FILE* file = std::fopen(path_.c_str(), "w");
    if (!file) return false;
    std::fprintf(file, "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n");
    bool first = true;
    auto emit = [&](const std::string& event) {
        std::fprintf(file, "%s%s", first ? "" : ",\n", event.c_str());
        first = false;
    };
    for (int pid = kThreads; pid <= kIrps; ++pid) {
        emit(sim::Format(R"({"name":"process_name","ph":"M","pid":%d,"args":{"name":%s}})", pid,
                         JsonString(kGroupNames[pid]).c_str()));
        emit(sim::Format(R"({"name":"process_sort_index","ph":"M","pid":%d,"args":{"sort_index":%d}})", pid, pid));
    }
    for (auto& [key, label] : names) {
        emit(sim::Format(R"({"name":"thread_name","ph":"M","pid":%d,"tid":%d,"args":{"name":%s}})", key.first,
                         key.second, JsonString(label).c_str()));
        emit(sim::Format(R"({"name":"thread_sort_index","ph":"M","pid":%d,"tid":%d,"args":{"sort_index":%d}})",
                         key.first, key.second, key.second));
    }
    for (const Span& span : spans) {
        std::string common = sim::Format(R"("name":%s,"cat":%s,"pid":%d,"tid":%d,"ts":%s)", JsonString(span.name).c_str(),
                                         JsonString(span.cat).c_str(), span.pid, span.tid, Micros(span.begin).c_str());
        if (span.instant)
            emit("{" + common + R"(,"ph":"i","s":"t","args":{)" + span.args + "}}");
        else
            emit("{" + common + R"(,"ph":"X","dur":)" + Micros(span.end - span.begin) + R"(,"args":{)" + span.args + "}}");
    }
    std::fprintf(file, "\n]}\n");
    return std::fclose(file) == 0;
}

}  // namespace voxen
