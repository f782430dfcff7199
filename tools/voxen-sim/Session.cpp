#include "tools/voxen-sim/Session.h"

#include "tools/voxen-sim/CtlChannel.h"

#include <sstream>

#include "filter/BridgeList.h"
#include "common/DriverGlobals.h"
#include "common/Roles.h"
#include "pci/Identity.h"
#include "sim/kernel/StatusNames.h"
#include "sim/machine/Description.h"

namespace voxen {

namespace {

void Say(const char* who, const std::string& text) { std::printf("%-8s %s\n", who, text.c_str()); }

const char* PowerStateName(ULONG state) {
    static const char* const names[] = {"none yet", "D0", "D1", "D2", "D3"};
    return state < 5 ? names[state] : "?";
}

std::string Ids(uint16_t vendor, uint16_t device) { return sim::Format("[%04x:%04x]", vendor, device); }

}  // namespace

Session::Session(sim::MachineSpec spec, Trace* trace) : spec_(std::move(spec)), trace_(trace) {}

Session::~Session() = default;

const char* Session::DefaultScript() {
    return R"(# The laptop has booted: the driver filters its root port, and its child
# filters sit under the drivers of the graphics device's two functions, whose
# registers the bus driver programmed at start.
show
# The power-management service switches the graphics device off. First each
# function is told D3 through its own stack: from now on the bridge refuses to
# let the Plug and Play manager remove its children.
ctl child-power 01:00.0 D3 --irp
ctl child-power 01:00.1 D3 --irp
# Then the platform cuts the power (the root port's _DSM method): both
# functions' configuration spaces are saved first.
ctl child-power 01:00.0 D3 --platform
show
# A bus rescan while the device is off: the bridge answers it with STATUS_RETRY.
invalidate 00:1c.0
# Power back: the device is waited for and both functions restored, then D0
# through each stack. Every register is as it was before the cycle.
ctl child-power 01:00.0 D0 --platform
ctl child-power 01:00.0 D0 --irp
ctl child-power 01:00.1 D0 --irp
show
# A device the driver does not know: refused, and 69 seconds later every
# bridge is asked for its bus relations again.
ctl child-power 05:00.0 D3 --irp
advance 70s
# The protocol's other requests, and the boot guard armed.
ctl list
ctl raw 0x80000008 --in 00000000 --out-len 20
ctl arm-guard
# The control device is open to the system and administrators only.
ctl-as-user list
)";
}

void Session::Boot(const sim::RegistryHive* registry) {
    ++boots_;
    DriverGlobals = DriverGlobalsAtLoad;  // a freshly loaded image
    machine_ = std::make_unique<sim::Machine>(spec_);
    if (registry) machine_->Os().Registry() = *registry;  // what the last boot left
    machine_->Os().Debug().SetEcho([](const std::string& line) { std::printf("dbg| %s\n", line.c_str()); });
    machine_->Os().Pnp().SetNarrator([](const std::string& line) { Say("pnp", line); });
    if (trace_) trace_->Attach(*machine_);
    Say("boot", sim::Format("boot %d of '%s'%s: loading voxenpci, an upper filter of PCI-to-PCI bridges", boots_,
                            spec_.name.empty() ? "machine" : spec_.name.c_str(), spec_.safeMode ? " in safe mode" : ""));
    NTSTATUS status = machine_->LoadFilter(DriverEntry);
    Say("boot", "DriverEntry returned " + sim::StatusName(status) +
                    (NT_SUCCESS(status) && DriverGlobals.Disabled ? " (filtering disabled for this boot)" : ""));
    Say("boot", "the Plug and Play manager enumerates the PCI bus");
    machine_->EnumerateDevices();
}

int Session::ShutDown() {
    Say("shutdown", "the Plug and Play manager removes every device");
    std::vector<std::string> leaks = machine_->Shutdown();
    const std::string& partial = machine_->Os().Debug().Partial();
    if (!partial.empty()) std::printf("dbg| %s\n", partial.c_str());
    if (trace_) trace_->Detach();
    if (!leaks.empty()) {
        for (const std::string& leak : leaks) Say("LEAK", leak);
        // The program may stop here (a reboot that leaked): the trace is written first.
        if (trace_) trace_->Write();
        return kKernelStop;
    }
    Say("shutdown", "clean: no pool, reference, handle or IRP left behind");
    return kRan;
}

int Session::Run(std::istream& script, const std::string& scriptName) {
    Boot();
    std::string line;
    int number = 0;
    while (std::getline(script, line)) {
        ++number;
        std::string text = line.substr(0, line.find('#'));
        std::istringstream stream(text);
        std::vector<std::string> words;
        for (std::string word; stream >> word;) words.push_back(word);
        if (words.empty()) continue;
        std::printf("\n> %s\n", text.substr(text.find_first_not_of(" \t")).c_str());
        if (trace_) trace_->BeginCommand(text.substr(text.find_first_not_of(" \t"), text.find_last_not_of(" \t\r") + 1 - text.find_first_not_of(" \t")));
        try {
            Execute(words);
        } catch (const ScriptError& error) {
            std::fflush(stdout);
            std::fprintf(stderr, "voxen-sim: %s:%d: %s\n", scriptName.c_str(), number, error.what.c_str());
            if (trace_) {
                trace_->EndCommand();
                if (!trace_->Write()) std::fprintf(stderr, "voxen-sim: cannot write the trace file\n");
            }
            return kScriptError;
        }
        if (trace_) trace_->EndCommand();
    }
    std::printf("\n");
    int code = ShutDown();
    if (trace_ && !trace_->Write()) {
        std::fprintf(stderr, "voxen-sim: cannot write the trace file\n");
        return kScriptError;
    }
    return code;
}

std::string Session::Location(const std::string& text, bool mustBeBridge) {
    sim::PciLocation parsed;
    if (!sim::ParseLocation(text, &parsed))
        throw ScriptError{"'" + text + "' is not a PCI location (BUS:DEV.FN in hexadecimal, as lspci writes it)"};
    std::string location = parsed.Text();
    sim::PciFunction* found = machine_->Function(location);
    if (!found) throw ScriptError{"the machine has no PCI function at " + location};
    if (mustBeBridge && !found->Spec().IsBridge()) throw ScriptError{location + " is not a bridge"};
    // Nothing behind a bridge that was pulled out can be reached.
    for (int bus = found->Spec().location.bus; bus != 0;) {
        const sim::PciFunctionSpec* above = nullptr;
        for (const sim::PciFunctionSpec& candidate : spec_.functions)
            if (candidate.IsBridge() && candidate.secondaryBus == bus) above = &candidate;
        if (!above) break;
        if (!machine_->Function(above->location.Text())->present)
            throw ScriptError{location + " is behind " + above->location.Text() + ", which is not plugged in"};
        bus = above->location.bus;
    }
    return location;
}

void Session::Execute(const std::vector<std::string>& words) {
    const std::string& command = words[0];
    auto arguments = [&](size_t count) {
        if (words.size() != count + 1)
            throw ScriptError{sim::Format("%s takes %zu argument%s", command.c_str(), count, count == 1 ? "" : "s")};
    };
    if (command == "advance") {
        arguments(1);
        int64_t duration = 0;
        if (!sim::ParseDuration(words[1], &duration))
            throw ScriptError{"'" + words[1] + "' is not a duration (such as 5ms or 70s, at most 1000000s)"};
        machine_->Os().Threads().Advance(duration);
        Say("time", sim::Format("now %lld ms", static_cast<long long>(machine_->Os().Threads().Now() / sim::kMillisecond)));
    } else if (command == "surprise-remove" || command == "remove" || command == "plug") {
        arguments(1);
        std::string location = Location(words[1], false);
        sim::PciFunction* function = machine_->Function(location);
        if (command == "plug" && function->present) throw ScriptError{location + " is already plugged in"};
        if (command != "plug" && !function->present) throw ScriptError{location + " is not plugged in"};
        if (command == "surprise-remove") machine_->Unplug(location);
        if (command == "remove") machine_->Eject(location);
        if (command == "plug") machine_->Plug(location);
        machine_->Settle();
        // A vetoed removal is what Windows reports to the user; the script goes on.
        if (command == "remove" && !machine_->LastVeto().empty())
            Say("remove", location + " was not removed: " + machine_->LastVeto());
    } else if (command == "rebalance") {
        arguments(1);
        std::string location = Location(words[1], false);
        if (!machine_->Function(location)->present) throw ScriptError{location + " is not plugged in"};
        machine_->Rebalance(location);
        machine_->Settle();
        Say("rebalance", location + (machine_->LastVeto().empty() ? " was stopped and started again"
                                                                    : " kept running: " + machine_->LastVeto()));
    } else if (command == "paging") {
        arguments(2);
        std::string location = Location(words[1], false);
        sim::PciFunction* function = machine_->Function(location);
        if (words[2] != "on" && words[2] != "off") throw ScriptError{"paging takes BUS:DEV.FN on|off"};
        if (!function->Spec().storage) throw ScriptError{location + " is not a storage device"};
        sim::PnpManager::DeviceNode* node = function->pdo ? machine_->Os().Pnp().FindByPdo(function->pdo) : nullptr;
        if (!node || !function->present) throw ScriptError{location + " is not plugged in"};
        if (words[2] == "off" && node->pagingFiles == 0) throw ScriptError{location + " holds no paging file"};
        machine_->Paging(location, words[2] == "on");
        machine_->Settle();
        NTSTATUS status = machine_->LastPagingStatus();
        Say("paging", location + (NT_SUCCESS(status) ? (words[2] == "on" ? " holds a paging file" : " gave up a paging file")
                                                     : " refused the paging notification: " + sim::StatusName(status)));
    } else if (command == "invalidate") {
        arguments(1);
        machine_->Rescan(Location(words[1], true));
        machine_->Settle();
    } else if (command == "hid-arrive" || command == "hid-remove" || command == "hid-eject") {
        arguments(1);
        Hid(words[1], command);
    } else if (command == "reg") {
        Registry(words);
    } else if (command == "reboot") {
        arguments(0);
        sim::RegistryHive kept = machine_->Os().Registry();
        int code = ShutDown();
        if (code != kRan) std::exit(code);
        machine_.reset();
        Boot(&kept);
    } else if (command == "show") {
        arguments(0);
        Show();
    } else if (command == "ctl" || command == "ctl-as-user") {
        Ctl(std::vector<std::string>(words.begin() + 1, words.end()),
            command == "ctl" ? sim::Caller::Administrator : sim::Caller::User);
    } else {
        throw ScriptError{"unknown command '" + command + "'"};
    }
}

// voxenctl run by a process of the machine, as an administrator or a user.
void Session::Ctl(const std::vector<std::string>& args, sim::Caller caller) {
    SimChannel channel(machine_->Os(), caller);
    std::string out, err;
    int code = voxenctl::Run(args, channel, &out, &err);
    machine_->Settle();
    for (const std::string* text : {&out, &err}) {
        size_t start = 0;
        while (start < text->size()) {
            size_t end = text->find('\n', start);
            if (end == std::string::npos) end = text->size();
            Say("ctl", text->substr(start, end - start));
            start = end + 1;
        }
    }
    Say("ctl", sim::Format("voxenctl exited with %d", code));
}

void Session::Hid(const std::string& name, const std::string& command) {
    if (!machine_->Hid().Find(name)) throw ScriptError{"the machine has no HID board named '" + name + "'"};
    bool arrives = command == "hid-arrive";
    if (machine_->BoardPresent(name) == arrives)
        throw ScriptError{"board '" + name + "' is " + (arrives ? "already plugged in" : "not plugged in")};
    if (arrives) {
        Say("hid", "board '" + name + "' is plugged in");
        machine_->Hid().Plug(name);
    } else if (command == "hid-remove") {
        Say("hid", "board '" + name + "' is pulled out");
        machine_->Hid().Unplug(name);
    } else {
        Say("hid", "board '" + name + "' is removed safely");
        machine_->Hid().Eject(name);
    }
    machine_->Settle();
    if (command == "hid-eject" && !machine_->Hid().LastVeto().empty())
        Say("hid", "board '" + name + "' was not removed: " + machine_->Hid().LastVeto());
}

void Session::Registry(const std::vector<std::string>& words) {
    const std::wstring key = sim::ServiceKeyPath(sim::kFilterService);
    sim::RegistryHive& registry = machine_->Os().Registry();
    if (words.size() >= 2 && words[1] == "show" && words.size() == 2) {
        auto values = registry.Values(key);
        if (values.empty()) Say("reg", "the service key holds no values");
        for (auto& [name, value] : values) {
            std::string shown;
            if (value.type == REG_DWORD && value.data.size() == 4) {
                ULONG number;
                std::memcpy(&number, value.data.data(), 4);
                shown = sim::Format("dword 0x%08X", number);
            } else if (value.type == REG_SZ) {
                std::string text;
                for (size_t i = 0; i + 1 < value.data.size(); i += 2)
                    if (value.data[i] || value.data[i + 1]) text += static_cast<char>(value.data[i]);
                shown = "sz \"" + text + "\"";
            } else {
                shown = sim::Format("type %u, %zu bytes", value.type, value.data.size());
            }
            Say("reg", sim::ToNarrow(name) + " = " + shown);
        }
        return;
    }
    if (words.size() == 3 && words[1] == "delete") {
        if (!registry.DeleteValue(key, sim::ToWide(words[2]))) throw ScriptError{"the service key has no value '" + words[2] + "'"};
        Say("reg", "deleted " + words[2]);
        return;
    }
    if (words.size() >= 5 && words[1] == "set") {
        const std::string& name = words[2];
        if (words[3] == "dword" && words.size() == 5) {
            size_t used = 0;
            unsigned long long value = 0;
            try {
                value = std::stoull(words[4], &used, 0);
            } catch (...) {
                used = 0;
            }
            if (used != words[4].size() || value > 0xFFFFFFFFull || words[4][0] == '-')
                throw ScriptError{"'" + words[4] + "' is not a 32-bit number"};
            registry.SetDword(key, sim::ToWide(name), static_cast<ULONG>(value));
            Say("reg", sim::Format("%s = dword 0x%08llX", name.c_str(), value));
            return;
        }
        if (words[3] == "sz") {
            std::string text = words[4];
            for (size_t i = 5; i < words.size(); ++i) text += " " + words[i];
            registry.SetString(key, sim::ToWide(name), sim::ToWide(text));
            Say("reg", name + " = sz \"" + text + "\"");
            return;
        }
        throw ScriptError{"reg set takes NAME dword NUMBER or NAME sz TEXT"};
    }
    throw ScriptError{"reg takes: set NAME TYPE VALUE, delete NAME, or show"};
}

void Session::Show() {
    auto driverName = [](PDEVICE_OBJECT device) {
        return sim::ToNarrow(sim::FromUnicodeString(&device->DriverObject->DriverName));
    };
    // Each device object of a stack by what it is there: the bus driver's PDO,
    // the ACPI driver's filter, the function driver, ours, other filters.
    auto roles = [&](const std::vector<PDEVICE_OBJECT>& members) {
        std::string stack;
        bool functionSeen = false;
        for (PDEVICE_OBJECT device : members) {
            std::string driver = driverName(device), role;
            if (device == members.front()) {
                role = "PDO " + driver;
            } else if (device->DriverObject == machine_->Filter()) {
                FilterDevice* filter = FilterFromDevice(device);
                bool bridge = false;
                for (ULONG i = 0; i < DriverGlobals.BridgeCount; ++i) bridge |= BridgeAt(i) == filter;
                role = bridge && filter->Parent ? "VoxenPCI filter (bridge and child)"
                       : bridge                 ? "VoxenPCI filter (bridge)"
                                                : "VoxenPCI filter (child)";
            } else if (driver == "\\Driver\\ACPI") {
                role = "ACPI filter " + driver + " (_DSM)";
            } else if (!functionSeen) {
                functionSeen = true;
                role = "function driver " + driver;
            } else {
                role = "upper filter " + driver;
            }
            stack += (stack.empty() ? "" : " <- ") + role;
        }
        if (!functionSeen) stack += ", raw (no function driver)";
        return stack;
    };
    for (auto& function : machine_->Pci().Functions()) {
        const sim::PciFunctionSpec& spec = function->Spec();
        std::string power = !function->present   ? "absent"
                            : !function->Powered() ? "power off"
                            : function->Answers()  ? "power on"
                                                   : "power on, silent";
        Say("show", function->Location().Text() + " " + spec.name + " " + Ids(spec.vendorId, spec.deviceId) + "  " +
                        power + ", " + PowerStateName(function->powerState));
        if (!function->present) continue;
        Say("", "  stack, PDO first: " + roles(machine_->Stack(function.get())));
        std::vector<ULONG> changed = function->ChangedDwords();
        if (!function->Answers()) {
            Say("", "  registers: none readable (every read gives all ones)");
        } else if (!changed.empty()) {
            std::string registers;
            for (ULONG offset : changed) registers += sim::Format(" %03x=%08x", offset, function->Peek32(offset));
            Say("", "  changed registers:" + registers);
        }
    }
    std::string off;
    if (DriverGlobals.Disabled)
        off = spec_.safeMode != 0 ? ", filtering disabled: safe mode"
                                  : ", filtering disabled by the boot guard (enabled, but this boot was not armed)";
    Say("show", sim::Format("driver: %u bridge(s)%s", DriverGlobals.BridgeCount, off.c_str()));
    for (ULONG i = 0; i < DriverGlobals.BridgeCount; ++i) {
        FilterDevice* bridge = BridgeAt(i);
        Say("", sim::Format("  bridge %u: %02x:%02x.%x %s, %u child(ren), %s", i, BusNumber(bridge), DeviceNumber(bridge),
                            FunctionNumber(bridge), Ids(bridge->VendorId, bridge->DeviceId).c_str(),
                            bridge->GetChildCount(), bridge->HasDsm ? "ACPI _DSM power method" : "no _DSM"));
        for (ULONG j = 0; j < bridge->GetChildCount(); ++j) {
            FilterDevice* child = bridge->GetChild(j);
            Say("", sim::Format("    child %u: %02x:%02x.%x %s, power state recorded: %s", j, BusNumber(child), DeviceNumber(child),
                                FunctionNumber(child), Ids(child->VendorId, child->DeviceId).c_str(),
                                PowerStateName(child->DevicePowerState)));
        }
    }
    for (auto& board : machine_->Hid().All()) {
        const sim::HidBoardSpec& spec = board->spec;
        Say("show", sim::Format("HID board '%s' %s: %s, %u-byte output reports%s, last command: %s", spec.name.c_str(),
                                Ids(spec.vendorId, spec.productId).c_str(),
                                board->present ? "plugged in" : "not plugged in", spec.outputReportLength,
                                spec.powers.empty() ? "" : (", switches " + spec.powers).c_str(),
                                board->lastCommand.empty() ? "none" : ("\"" + board->lastCommand + "\"").c_str()));
        if (board->present && board->pdo) {
            std::vector<PDEVICE_OBJECT> members;
            for (PDEVICE_OBJECT device = board->pdo; device; device = device->AttachedDevice) members.push_back(device);
            Say("", "  stack, PDO first: " + roles(members) + ", a HID collection");
        }
    }
    if (sim::SerialPort* serial = machine_->Serial())
        Say("show", sim::Format("serial port \\Device\\Serial0 (the serial port driver's %s): DTR %s, RTS %s, %s%s",
                                driverName(serial->device).c_str(), serial->dtr ? "set" : "clear",
                                serial->rts ? "set" : "clear", serial->opens ? "open" : "not open",
                                spec_.serial.powers.empty()
                                    ? ""
                                    : (", RTS " + std::string(spec_.serial.onWhenSet ? "set" : "clear") +
                                       " powers " + spec_.serial.powers)
                                          .c_str()));
}

}  // namespace voxen
