// A child filter under a disk's function driver: in and out of the paging path
// it follows the device below it, so that no pageable driver ever sits below a
// non-pageable one when power IRPs come at DISPATCH_LEVEL.
#include <gtest/gtest.h>

#include "common/Roles.h"
#include "tests/support/DriverUnderTest.h"

namespace {

sim::MachineSpec WithDisk() {
    sim::PciFunctionSpec disk = sim::Endpoint("01:00.0", "disk", 0x01);
    disk.storage = true;
    return sim::MachineSpec{1, false, {sim::RootPort("00:1c.0", 1), disk}};
}

bool Pageable(PDEVICE_OBJECT device) { return (device->Flags & DO_POWER_PAGABLE) != 0; }

// The PCI bus driver fails every device-usage notification while installed.
struct FailingUsage {
    static PDRIVER_DISPATCH original;
    PDRIVER_OBJECT driver;
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_DEVICE_USAGE_NOTIFICATION)
            return original(device, irp);
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    explicit FailingUsage(PDRIVER_OBJECT pci) : driver(pci) {
        original = driver->MajorFunction[IRP_MJ_PNP];
        driver->MajorFunction[IRP_MJ_PNP] = Dispatch;
    }
    ~FailingUsage() { driver->MajorFunction[IRP_MJ_PNP] = original; }
};
PDRIVER_DISPATCH FailingUsage::original = nullptr;

TEST(PagingPath, TheChildFilterFollowsTheDeviceBelowInAndOutAndBackAfterAFailure) {
    auto machine = test::Boot(WithDisk());
    FilterDevice* filter = test::FilterOf(*machine, "01:00.0");
    ASSERT_NE(filter, nullptr);
    PDEVICE_OBJECT pdo = filter->Pdo;
    ASSERT_TRUE(Pageable(pdo));
    EXPECT_TRUE(Pageable(filter->DeviceObject)) << "pageable as the device below it";
    ULONG d0 = PowerDeviceD0;

    machine->Paging("01:00.0", true);
    machine->Settle();
    ASSERT_EQ(machine->LastPagingStatus(), STATUS_SUCCESS);
    EXPECT_FALSE(Pageable(pdo));
    EXPECT_FALSE(Pageable(filter->DeviceObject)) << "the device below left the pageable set";
    // A power IRP now comes at DISPATCH_LEVEL; the kernel stops the machine
    // if a pageable device sits below a non-pageable one.
    EXPECT_EQ(filter->QueryDevicePower(&d0), STATUS_SUCCESS);

    {
        FailingUsage failing(pdo->DriverObject);
        machine->Paging("01:00.0", false);
        machine->Settle();
    }
    EXPECT_EQ(machine->LastPagingStatus(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Pageable(filter->DeviceObject)) << "put back as it was when the notification failed";
    EXPECT_EQ(filter->QueryDevicePower(&d0), STATUS_SUCCESS);

    machine->Paging("01:00.0", false);
    machine->Settle();
    ASSERT_EQ(machine->LastPagingStatus(), STATUS_SUCCESS);
    EXPECT_TRUE(Pageable(pdo));
    EXPECT_TRUE(Pageable(filter->DeviceObject));
    EXPECT_EQ(filter->QueryDevicePower(&d0), STATUS_SUCCESS);
    EXPECT_TRUE(machine->Shutdown().empty());
}

}  // namespace
