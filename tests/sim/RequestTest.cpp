// Requests built for other drivers and made by user-mode callers.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "tests/support/TestDriver.h"
#include "tests/support/CaseName.h"

namespace {

using test::TestDriver;

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

TEST(SynchronousRequest, SignalsItsEventAndFillsItsStatusBlockWhenCompletedLater) {
    sim::Kernel kernel;
    {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            sim::Kernel::Current().Threads().StartThread("device", [irp] {
                LARGE_INTEGER delay;
                delay.QuadPart = -10 * sim::kMillisecond;
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
                irp->IoStatus.Status = STATUS_RETRY;
                irp->IoStatus.Information = 42;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            });
            return STATUS_PENDING;
        });
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK block{};
        block.Status = STATUS_NOT_SUPPORTED;
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr, &event, &block);
        ASSERT_NE(irp, nullptr);

        ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
        EXPECT_EQ(block.Status, STATUS_NOT_SUPPORTED) << "untouched until completion";
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);

        EXPECT_EQ(block.Status, STATUS_RETRY);
        EXPECT_EQ(block.Information, 42u);
        EXPECT_EQ(kernel.Threads().Now(), 10 * sim::kMillisecond);
        EXPECT_FALSE(kernel.Io().IsLive(irp)) << "the I/O manager frees a built request";
        kernel.Threads().RunUntilIdle();
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

struct CopyCase {
    const char* name;
    ULONG inputLength;
    ULONG outputLength;
    ULONG written;  // bytes the driver writes and reports in Information
    NTSTATUS status;
    ULONG copied;  // bytes the caller gets back
};

class BufferedDeviceControl : public ::testing::TestWithParam<CopyCase> {};

TEST_P(BufferedDeviceControl, CopiesBackExactlyInformationBytes) {
    const CopyCase& c = GetParam();
    sim::Kernel kernel;
    {
        TestDriver driver;
        std::array<unsigned char, 32> seenPastInput{};
        PDEVICE_OBJECT device = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            auto* system = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
            ULONG size = std::max(location->Parameters.DeviceIoControl.InputBufferLength,
                                  location->Parameters.DeviceIoControl.OutputBufferLength);
            for (ULONG i = location->Parameters.DeviceIoControl.InputBufferLength; i < size; ++i)
                seenPastInput[i] = system[i];
            for (ULONG i = 0; i < c.written; ++i) system[i] = static_cast<unsigned char>(0x40 + i);
            irp->IoStatus.Status = c.status;
            irp->IoStatus.Information = c.written;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return c.status;
        });
        std::array<unsigned char, 32> input{};
        input.fill(0x11);
        std::array<unsigned char, 32> output{};
        output.fill(0xEE);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK block{};
        PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, device, input.data(), c.inputLength, output.data(),
                                                 c.outputLength, FALSE, &event, &block);
        ASSERT_NE(irp, nullptr);
        IoCallDriver(device, irp);

        EXPECT_EQ(block.Status, c.status);
        for (ULONG i = c.inputLength; i < std::max(c.inputLength, c.outputLength); ++i)
            EXPECT_EQ(seenPastInput[i], sim::kSystemBufferPoison) << "system buffer byte " << i;
        for (ULONG i = 0; i < output.size(); ++i) {
            unsigned char expected = i < c.copied ? static_cast<unsigned char>(0x40 + i) : 0xEE;
            EXPECT_EQ(output[i], expected) << "output byte " << i;
        }
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, BufferedDeviceControl,
                         ::testing::Values(CopyCase{"InformationOnly", 4, 20, 6, STATUS_SUCCESS, 6},
                                           CopyCase{"WholeOutput", 4, 20, 20, STATUS_SUCCESS, 20},
                                           CopyCase{"Nothing", 8, 8, 0, STATUS_SUCCESS, 0},
                                           CopyCase{"InputLongerThanOutput", 24, 4, 4, STATUS_SUCCESS, 4},
                                           CopyCase{"WarningStillCopies", 0, 16, 16, STATUS_BUFFER_OVERFLOW, 16},
                                           CopyCase{"ErrorCopiesNothing", 0, 16, 0, STATUS_INVALID_PARAMETER, 0}),
                         test::CaseName());

TEST(UserRequests, OpenDeviceControlAndCloseReachTheTopOfTheStack) {
    sim::Kernel kernel;
    {
        TestDriver driver;
        std::string seen;
        PDEVICE_OBJECT bottom = driver.AddDevice(test::CompleteWith(STATUS_SUCCESS), nullptr, L"\\Device\\Bottom");
        driver.AddDevice(
            [&](PDEVICE_OBJECT, PIRP irp) {
                PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
                seen += std::to_string(location->MajorFunction) + (irp->RequestorMode == UserMode ? "u " : "k ");
                ULONG_PTR information = 0;
                if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
                    std::memcpy(irp->AssociatedIrp.SystemBuffer, "pong", 4);
                    information = 4;
                }
                return test::CompleteWith(STATUS_SUCCESS, information)(nullptr, irp);
            },
            bottom);
        UNICODE_STRING link, name;
        RtlInitUnicodeString(&link, L"\\DosDevices\\Bottom");
        RtlInitUnicodeString(&name, L"\\Device\\Bottom");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);

        PFILE_OBJECT file = nullptr;
        ASSERT_EQ(kernel.Io().Open(L"\\\\.\\Bottom", GENERIC_READ, sim::Caller::User, &file), STATUS_SUCCESS);
        char reply[8] = {};
        ULONG_PTR information = 0;
        EXPECT_EQ(kernel.Io().DeviceIoControl(file, kBufferedCode, "ping", 4, reply, sizeof reply, &information),
                  STATUS_SUCCESS);
        EXPECT_EQ(information, 4u);
        EXPECT_EQ(std::string(reply, 4), "pong");
        kernel.Io().CloseHandle(file);

        EXPECT_EQ(seen, "0u 14u 18k 2k ") << "create, device control, cleanup, close";
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

}  // namespace
