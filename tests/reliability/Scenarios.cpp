#include "tests/reliability/Scenarios.h"

#include "control/Protocol.h"
#include "pci/Config.h"

namespace test::reliability {

sim::MachineSpec Laptop(Switch by, int64_t answersAfter, int64_t retryFor) {
    sim::PciFunctionSpec port = sim::RootPort("00:1c.0", 1);
    sim::PciFunctionSpec display = sim::Endpoint("01:00.0", "display", 0x03);
    sim::PciFunctionSpec audio = sim::Endpoint("01:00.1", "audio", 0x04);
    audio.deviceId = 0x10F1;
    sim::MachineSpec spec{1, false, {}};
    std::string powerSwitch;
    switch (by) {
    case Switch::Dsm:
        port.dsm.present = true;
        powerSwitch = "dsm";
        break;
    case Switch::HidBoard: {
        sim::HidBoardSpec board;
        board.name = "switch";
        board.powers = "01:00";
        spec.boards.push_back(board);
        powerSwitch = "hid:switch";
        break;
    }
    case Switch::SerialRtsClear:
    case Switch::SerialRtsSet:
        spec.serial.present = true;
        spec.serial.powers = "01:00";
        spec.serial.onWhenSet = by == Switch::SerialRtsSet;
        powerSwitch = "serial";
        break;
    }
    for (sim::PciFunctionSpec* function : {&display, &audio}) {
        function->powerSwitch = powerSwitch;
        function->answersAfter = answersAfter;
        function->retryFor = retryFor;
    }
    spec.functions = {port, display, audio};
    return spec;
}

NTSTATUS ChildPower(sim::Machine& machine, ULONG function, ULONG state, ULONG mode, ULONG method) {
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = machine.Os().Io().Open(VOXEN_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                             sim::Caller::Administrator, &file);
    if (!NT_SUCCESS(status)) return status;
    VoxenChildPowerRequest request{1, 0, function, state, mode, method};
    ULONG_PTR information = 0;
    status = machine.Os().Io().DeviceIoControl(file, IOCTL_SET_CHILD_POWER, &request, sizeof(request), nullptr, 0,
                                               &information);
    machine.Os().Io().CloseHandle(file);
    machine.Settle();
    return status;
}

void Program(sim::PciFunction* function, ULONG seed) {
    WriteConfig32(function->pdo, 0x10, 0xF6000000 + seed * 0x100000);
    WriteConfig32(function->pdo, 0x14, 0xE0000000 + seed * 0x10000);
    WriteConfig32(function->pdo, 0x3C, 0x10 + seed);
    WriteConfig32(function->pdo, 0x04, 0x0006);
}

std::map<ULONG, ULONG> Registers(sim::PciFunction* function) {
    std::map<ULONG, ULONG> values;
    for (ULONG offset = 0; offset < 0x1000; offset += 4) values[offset] = function->Peek32(offset);
    return values;
}

}  // namespace test::reliability
