// voxen-sim: runs the driver on a simulated machine and tells what happened.
#include <cstdio>
#include <string>

#include "driver/Roles.h"
#include "control/Protocol.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Loader.h"
#include "sim/kernel/StatusNames.h"
#include "sim/kernel/Violation.h"

namespace {

void Say(const char* who, const std::string& text) { std::printf("%-8s %s\n", who, text.c_str()); }

}  // namespace

int main() {
    int exitCode = 0;
    {
        sim::Kernel kernel;
        kernel.Debug().SetEcho([](const std::string& line) { std::printf("dbg| %s\n", line.c_str()); });

        Say("boot", "loading voxenpci as a kernel-mode driver (service key " +
                        sim::ToNarrow(sim::ServiceKeyPath(L"VoxenPCI")) + ")");
        sim::LoadedDriver driver = sim::LoadDriver(DriverEntry, L"VoxenPCI");
        Say("boot", "DriverEntry returned " + sim::StatusName(driver.status));
        if (!NT_SUCCESS(driver.status)) return 1;

        std::wstring rest;
        PDEVICE_OBJECT control = kernel.Objects().Resolve(L"\\Device\\VoxenPCI", &rest);
        Say("boot", control ? "control device \\Device\\VoxenPCI exists" : "control device \\Device\\VoxenPCI is missing");
        PDEVICE_OBJECT linked = kernel.Objects().Resolve(L"\\DosDevices\\VoxenPCI", &rest);
        Say("boot", linked && linked == control ? "symbolic link \\DosDevices\\VoxenPCI -> \\Device\\VoxenPCI"
                                                : "symbolic link \\DosDevices\\VoxenPCI is missing");

        PFILE_OBJECT file = nullptr;
        NTSTATUS opened = kernel.Io().Open(VOXEN_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                           sim::Caller::Administrator, &file);
        Say("service", "opens \\\\.\\VoxenPCI as an administrator: " + sim::StatusName(opened));
        if (NT_SUCCESS(opened)) {
            ULONG count = 0;
            ULONG_PTR information = 0;
            NTSTATUS status = kernel.Io().DeviceIoControl(file, IOCTL_GET_BRIDGE_COUNT, nullptr, 0, &count,
                                                          sizeof count, &information);
            Say("service", "asks for the bridge count: " + sim::StatusName(status) +
                               (NT_SUCCESS(status) ? " (" + std::to_string(count) + " bridges)" : ""));
            kernel.Io().CloseHandle(file);
            Say("service", "closes its handle");
        }

        std::vector<std::string> leaks = kernel.Shutdown();
        if (!kernel.Debug().Partial().empty()) std::printf("dbg| %s\n", kernel.Debug().Partial().c_str());
        if (leaks.empty()) {
            Say("shutdown", "clean: no pool, reference, handle or IRP left behind");
        } else {
            for (auto& line : leaks) Say("LEAK", line);
            exitCode = sim::kViolationExitCode;
        }
    }
    return exitCode;
}
