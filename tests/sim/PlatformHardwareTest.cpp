// The simulated platform the driver switches power through: the ACPI filter
// in a bridge's stack, the HID class driver's collections of switch boards,
// the serial port and the power gates they are wired to.
#include <gtest/gtest.h>

#include "sim/machine/Machine.h"

namespace {

sim::MachineSpec Platform() {
    sim::PciFunctionSpec port = sim::RootPort("00:1c.0", 1);
    port.dsm.present = true;
    sim::PciFunctionSpec plain = sim::RootPort("00:1d.0", 2);
    sim::PciFunctionSpec display = sim::Endpoint("01:00.0", "display", 0x03);
    display.powerSwitch = "dsm";
    display.answersAfter = 20 * sim::kMillisecond;
    sim::MachineSpec spec{1, false, {port, plain, display}};
    spec.serial.present = true;
    spec.serial.powers = "01:00";
    spec.boards.push_back(sim::HidBoardSpec{"switch", 0x2047, 0x0317, 64, "01:00", true, false});
    return spec;
}

// A request to the top of a stack, as a kernel-mode client sends it.
NTSTATUS Control(PDEVICE_OBJECT device, ULONG code, void* input, ULONG inputLength, void* output, ULONG outputLength,
                 PFILE_OBJECT file = nullptr, ULONG_PTR* information = nullptr) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, FALSE, &event, &status);
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    if (information) *information = status.Information;
    return status.Status;
}

TEST(PlatformHardware, TheAcpiFilterSitsBelowThePciFunctionDeviceOfABridgeWithTheMethod) {
    sim::Machine machine(Platform());
    machine.EnumerateDevices();
    std::vector<PDEVICE_OBJECT> stack = machine.Stack(machine.Function("00:1c.0"));
    ASSERT_EQ(stack.size(), 3u);
    EXPECT_EQ(sim::ToNarrow(sim::FromUnicodeString(&stack[1]->DriverObject->DriverName)), "\\Driver\\ACPI");
    EXPECT_EQ(machine.Stack(machine.Function("00:1d.0")).size(), 2u) << "no firmware method, no ACPI filter";

    // Function 3 with argument 0, sent to the top of the stack: the PCI
    // function device passes it down and the device behind the bridge goes dark.
    uint8_t input[72] = {0x41, 0x65, 0x69, 0x43, '_', 'D', 'S', 'M', 48, 0, 0, 0, 4, 0, 0, 0, 2, 0, 16, 0};
    GUID uuid;
    ASSERT_TRUE(sim::ParseGuid("906E5706-ABA3-42F6-B454-B662DF563FEF", &uuid));
    std::memcpy(input + 20, &uuid, 16);
    input[38] = 4;
    input[46] = 4;
    input[48] = 3;
    input[52] = 3;
    input[54] = 4;
    uint8_t output[30] = {};
    ULONG_PTR information = 0;
    EXPECT_EQ(Control(stack.back(), IOCTL_ACPI_EVAL_METHOD, input, sizeof(input), output, sizeof(output), nullptr,
                      &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 20u);
    EXPECT_FALSE(machine.Function("01:00.0")->Powered());
    EXPECT_EQ(machine.Function("01:00.0")->Peek32(0), 0x1C8D10DEu) << "the registers are kept, only reads fail";
    input[56] = 1;
    Control(stack.back(), IOCTL_ACPI_EVAL_METHOD, input, sizeof(input), output, sizeof(output));
    EXPECT_TRUE(machine.Function("01:00.0")->Powered());
    EXPECT_FALSE(machine.Function("01:00.0")->Answers()) << "20 ms until it answers";
    ASSERT_EQ(machine.Pci().Acpi(machine.Function("00:1c.0"))->Evaluations().size(), 2u);
    EXPECT_TRUE(machine.Shutdown().empty());
}

TEST(PlatformHardware, TheSerialPortTakesOneOpenAtATimeAndRtsSwitchesItsDevice) {
    sim::Machine machine(Platform());
    machine.EnumerateDevices();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, sim::kSerialDeviceName);
    PFILE_OBJECT first = nullptr, second = nullptr;
    PDEVICE_OBJECT port = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &first, &port), STATUS_SUCCESS);
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &second, &port), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(port, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_FALSE(machine.Function("01:00.0")->Powered()) << "power is on while RTS is clear";
    EXPECT_EQ(Control(port, IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_TRUE(machine.Function("01:00.0")->Powered());
    ObfDereferenceObject(first);
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &second, &port), STATUS_SUCCESS) << "closed, it opens again";
    ObfDereferenceObject(second);
    EXPECT_TRUE(machine.Shutdown().empty());
}

TEST(PlatformHardware, ABoardsCollectionHasAnInterfaceWhileItIsPluggedInAndAnswersAsTheHidClassDriver) {
    sim::Machine machine(Platform());
    machine.EnumerateDevices();
    sim::HidBoards::Board* board = machine.Hid().Find("switch");
    std::vector<std::wstring> links = machine.Os().Pnp().EnabledInterfaces(sim::kHidInterfaceClass);
    ASSERT_EQ(links.size(), 1u);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, links[0].c_str());
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT collection = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&link, GENERIC_READ | GENERIC_WRITE, &file, &collection), STATUS_SUCCESS);
    HID_COLLECTION_INFORMATION information{};
    EXPECT_EQ(Control(collection, IOCTL_HID_GET_COLLECTION_INFORMATION, nullptr, 0, &information, sizeof(information)),
              STATUS_SUCCESS);
    EXPECT_EQ(information.VendorID, 0x2047);
    EXPECT_EQ(information.ProductID, 0x0317);
    auto* preparsed = ExAllocatePoolWithTag(PagedPool, information.DescriptorSize, sim::MakeTag("Test"));
    EXPECT_EQ(Control(collection, IOCTL_HID_GET_COLLECTION_DESCRIPTOR, nullptr, 0, preparsed, information.DescriptorSize),
              STATUS_SUCCESS);
    HIDP_CAPS caps{};
    EXPECT_EQ(HidP_GetCaps(static_cast<PHIDP_PREPARSED_DATA>(preparsed), &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.OutputReportByteLength, 64);
    static_cast<uint8_t*>(preparsed)[0] ^= 0xFF;
    EXPECT_EQ(HidP_GetCaps(static_cast<PHIDP_PREPARSED_DATA>(preparsed), &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
    ExFreePoolWithTag(preparsed, sim::MakeTag("Test"));
    ObfDereferenceObject(file);

    machine.Hid().Unplug("switch");
    machine.Settle();
    EXPECT_TRUE(machine.Os().Pnp().EnabledInterfaces(sim::kHidInterfaceClass).empty());
    EXPECT_EQ(IoGetDeviceObjectPointer(&link, GENERIC_READ | GENERIC_WRITE, &file, &collection),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(board->present);
    EXPECT_TRUE(machine.Shutdown().empty());
}

}  // namespace
