// What the driver does with requests it does not serve itself: a filter passes
// them down untouched; the control device completes them.
#include <gtest/gtest.h>

#include "common/Roles.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"
#include "tests/support/TestDriver.h"

namespace {

struct MajorCase {
    const char* name;
    UCHAR major;
};

class FilterPassesDown : public ::testing::TestWithParam<MajorCase> {};

TEST_P(FilterPassesDown, EveryOtherMajorFunctionUnchanged) {
    sim::Kernel kernel;
    test::PrepareDriverGlobals();
    PDRIVER_OBJECT ours = test::LoadDriver();
    test::TestDriver driver;
    PIRP seenIrp = nullptr;
    IO_STACK_LOCATION seen{};
    PDEVICE_OBJECT lower = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        seenIrp = irp;
        seen = *IoGetCurrentIrpStackLocation(irp);
        return test::CompleteWith(STATUS_RETRY, 17)(nullptr, irp);
    });
    FilterDevice* filter = NewFilterDevice();
    ASSERT_EQ(filter->CreateDevice(ours, FILE_DEVICE_UNKNOWN), STATUS_SUCCESS);
    ASSERT_EQ(filter->Attach(lower), STATUS_SUCCESS);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK block{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, filter->DeviceObject, nullptr, 0, nullptr, &event, &block);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = GetParam().major;
    next->MinorFunction = 0x5A;
    next->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1234);
    next->Parameters.Others.Argument2 = reinterpret_cast<PVOID>(0x5678);

    EXPECT_EQ(IoCallDriver(filter->DeviceObject, irp), STATUS_RETRY);
    EXPECT_EQ(block.Status, STATUS_RETRY);
    EXPECT_EQ(block.Information, 17u);
    EXPECT_EQ(seenIrp, irp);
    EXPECT_EQ(seen.MajorFunction, GetParam().major);
    EXPECT_EQ(seen.MinorFunction, 0x5A);
    EXPECT_EQ(seen.Parameters.Others.Argument1, reinterpret_cast<PVOID>(0x1234));
    EXPECT_EQ(seen.Parameters.Others.Argument2, reinterpret_cast<PVOID>(0x5678));
    EXPECT_EQ(seen.DeviceObject, lower);
    EXPECT_EQ(seen.CompletionRoutine, nullptr) << "passed on, not watched";
    DestroyFilterDevice(filter);
}

INSTANTIATE_TEST_SUITE_P(Table, FilterPassesDown,
                         ::testing::Values(MajorCase{"Create", IRP_MJ_CREATE}, MajorCase{"Close", IRP_MJ_CLOSE},
                                           MajorCase{"Read", IRP_MJ_READ}, MajorCase{"Write", IRP_MJ_WRITE},
                                           MajorCase{"QueryInformation", IRP_MJ_QUERY_INFORMATION},
                                           MajorCase{"Flush", IRP_MJ_FLUSH_BUFFERS},
                                           MajorCase{"Shutdown", IRP_MJ_SHUTDOWN}, MajorCase{"Cleanup", IRP_MJ_CLEANUP},
                                           MajorCase{"SystemControl", IRP_MJ_SYSTEM_CONTROL}),
                         test::CaseName());

struct KernelIrpCase {
    const char* name;
    UCHAR major;
    UCHAR minor;
};

class ControlDeviceKernelIrp : public ::testing::TestWithParam<KernelIrpCase> {};

// The target-relations query Windows sends to the device behind an open
// handle, or a power IRP, reaching the control device: it has no extension
// and nothing below it, so the IRP ends there as it came.
TEST_P(ControlDeviceKernelIrp, CompletesWithTheStatusItCameWith) {
    sim::Kernel kernel;
    test::PrepareDriverGlobals();
    test::LoadDriver();
    IO_STATUS_BLOCK result{};
    sim::IoManager& io = kernel.Io();
    PIRP irp = io.AllocateKernelIrp(DriverGlobals.ControlDevice->StackSize, [&](PIRP done) {
        result = done->IoStatus;
        io.ReleaseKernelIrp(done);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = GetParam().major;
    next->MinorFunction = GetParam().minor;
    next->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;

    EXPECT_EQ(IoCallDriver(DriverGlobals.ControlDevice, irp), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlDeviceKernelIrp,
    ::testing::Values(KernelIrpCase{"TargetRelations", IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS},
                      KernelIrpCase{"QueryCapabilities", IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES},
                      KernelIrpCase{"SetPower", IRP_MJ_POWER, IRP_MN_SET_POWER},
                      KernelIrpCase{"QueryPower", IRP_MJ_POWER, IRP_MN_QUERY_POWER}),
    test::CaseName());

}  // namespace
