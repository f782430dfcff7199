// voxen-sim: runs the driver on a simulated machine and tells what happened.
#include <cstdio>
#include <string>

#include "control/Protocol.h"
#include "driver/Roles.h"
#include "sim/kernel/StatusNames.h"
#include "sim/machine/Machine.h"

namespace {

void Say(const char* who, const std::string& text) { std::printf("%-8s %s\n", who, text.c_str()); }

// The default machine: a laptop whose PCI Express root port at 00:1c.0 leads
// to a two-function graphics device on bus 01.
sim::MachineSpec DefaultMachine() {
    sim::MachineSpec spec;
    spec.functions.push_back(sim::RootPort("00:1c.0", 0x01));
    spec.functions.push_back(sim::Endpoint("01:00.0", "display", 0x03));
    sim::PciFunctionSpec audio = sim::Endpoint("01:00.1", "audio", 0x04);
    audio.subClass = 0x03;
    audio.deviceId = 0x10F1;
    spec.functions.push_back(audio);
    return spec;
}

std::string Describe(sim::Machine& machine, PDEVICE_OBJECT device) {
    std::string driver = sim::ToNarrow(sim::FromUnicodeString(&device->DriverObject->DriverName));
    return driver + (device->DriverObject == machine.Filter() ? " [VoxenPCI filter]" : "");
}

void Show(sim::Machine& machine) {
    for (auto& function : machine.Pci().Functions()) {
        const sim::PciFunctionSpec& spec = function->Spec();
        char ids[32];
        std::snprintf(ids, sizeof ids, "[%04x:%04x]", spec.vendorId, spec.deviceId);
        Say("show", function->Location().Text() + " " + spec.name + " " + ids);
        std::string stack;
        for (PDEVICE_OBJECT device : machine.Stack(function.get()))
            stack += (stack.empty() ? "" : " <- ") + Describe(machine, device);
        Say("show", "  stack (PDO first): " + (stack.empty() ? std::string("none") : stack));
    }
}

}  // namespace

int main() {
    int exitCode = 0;
    {
        sim::Machine machine(DefaultMachine());
        machine.Os().Debug().SetEcho([](const std::string& line) { std::printf("dbg| %s\n", line.c_str()); });

        Say("boot", "loading voxenpci as an upper filter of PCI-to-PCI bridges (service key " +
                        sim::ToNarrow(sim::ServiceKeyPath(sim::kFilterService)) + ")");
        NTSTATUS status = machine.LoadFilter(DriverEntry);
        Say("boot", "DriverEntry returned " + sim::StatusName(status));
        if (!NT_SUCCESS(status)) return 1;
        Say("boot", "the Plug and Play manager enumerates the PCI bus");
        machine.EnumerateDevices();
        Show(machine);

        PFILE_OBJECT file = nullptr;
        NTSTATUS opened =
            machine.Os().Io().Open(VOXEN_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, sim::Caller::Administrator, &file);
        Say("service", "opens \\\\.\\VoxenPCI as an administrator: " + sim::StatusName(opened));
        if (NT_SUCCESS(opened)) {
            ULONG count = 0;
            ULONG_PTR information = 0;
            status = machine.Os().Io().DeviceIoControl(file, IOCTL_GET_BRIDGE_COUNT, nullptr, 0, &count, sizeof count,
                                                        &information);
            Say("service", "asks for the bridge count: " + sim::StatusName(status) +
                               (NT_SUCCESS(status) ? " (" + std::to_string(count) + " bridges)" : ""));
            machine.Os().Io().CloseHandle(file);
            Say("service", "closes its handle");
        }

        Say("shutdown", "the Plug and Play manager removes every device");
        std::vector<std::string> leaks = machine.Shutdown();
        if (!machine.Os().Debug().Partial().empty()) std::printf("dbg| %s\n", machine.Os().Debug().Partial().c_str());
        if (leaks.empty()) {
            Say("shutdown", "clean: no pool, reference, handle or IRP left behind");
        } else {
            for (auto& line : leaks) Say("LEAK", line);
            exitCode = sim::kViolationExitCode;
        }
    }
    return exitCode;
}
