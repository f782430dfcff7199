// The failure points of the driver under test: only its own calls are
// counted (not the machine's drivers', not the test's), in its threads too,
// and the one chosen fails as Windows documents for its service.
#include <gtest/gtest.h>

#include <functional>

#include "sim/kernel/Kernel.h"
#include "sim/kernel/Loader.h"
#include "tests/support/CaseName.h"
#include "tests/support/TestDriver.h"

namespace {

using sim::MakeTag;

// What the loaded driver's entry point does.
std::function<void(PDRIVER_OBJECT)> body;
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    body(driver);
    return STATUS_SUCCESS;
}

VOID AllocateAndFree(PVOID) { ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 8, MakeTag("Thrd")), MakeTag("Thrd")); }

TEST(FailurePoints, CountOnlyTheDriverUnderTestAndItsThreads) {
    sim::Kernel kernel;
    test::TestDriver other(L"\\Driver\\other");
    PDEVICE_OBJECT below = other.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        // The machine's own driver allocates: no point of the driver under test.
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, MakeTag("Othr")), MakeTag("Othr"));
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    body = [below](PDRIVER_OBJECT) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK status;
        PIRP irp = IoBuildDeviceIoControlRequest(0x222000, below, nullptr, 0, nullptr, 0, FALSE, &event, &status);
        ASSERT_NE(irp, nullptr);
        IofCallDriver(below, irp);
        ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 8, MakeTag("Mine")), MakeTag("Mine"));
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE thread = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&thread, 0, &attributes, nullptr, nullptr, AllocateAndFree, nullptr),
                  STATUS_SUCCESS);
        ZwClose(thread);
    };
    ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 8, MakeTag("Test")), MakeTag("Test"));  // the test's own
    ASSERT_EQ(sim::LoadDriver(Entry, L"Watched").status, STATUS_SUCCESS);
    kernel.Threads().RunUntilIdle();
    EXPECT_EQ(kernel.FailurePoints().Services(),
              (std::vector<std::string>{"IoBuildDeviceIoControlRequest", "ExAllocatePoolWithTag", "PsCreateSystemThread",
                                        "ExAllocatePoolWithTag"}));
    other.Remove(below);
    std::vector<std::string> leaks = kernel.Shutdown();
    EXPECT_TRUE(leaks.empty()) << leaks.front();
}

struct ServiceCase {
    const char* name;
    // Calls the service once; true when it failed as documented. Releases
    // whatever it got.
    std::function<bool(PDRIVER_OBJECT)> call;
};

class FailurePoint : public ::testing::TestWithParam<ServiceCase> {};

TEST_P(FailurePoint, FailsAsWindowsDocumentsAndOnlyOnce) {
    sim::Kernel kernel;
    kernel.FailurePoints().FailAt(2);
    bool first = true, second = false, third = true;
    body = [&](PDRIVER_OBJECT driver) {
        first = GetParam().call(driver);
        second = GetParam().call(driver);
        third = GetParam().call(driver);
    };
    ASSERT_EQ(sim::LoadDriver(Entry, L"Watched").status, STATUS_SUCCESS);
    EXPECT_FALSE(first);
    EXPECT_TRUE(second) << "the second call is the point failed";
    EXPECT_FALSE(third);
    EXPECT_EQ(kernel.FailurePoints().Count(), 3u);
    EXPECT_EQ(kernel.FailurePoints().Failed(), GetParam().name);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

// A DWORD of non-paged pool, a buffer for the MDL to describe.
ULONG buffer[16];

INSTANTIATE_TEST_SUITE_P(
    Table, FailurePoint,
    ::testing::Values(
        ServiceCase{"ExAllocatePoolWithTag",
                    [](PDRIVER_OBJECT) {
                        void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, MakeTag("Case"));
                        if (block) ExFreePoolWithTag(block, MakeTag("Case"));
                        return block == nullptr;
                    }},
        ServiceCase{"IoCreateDevice",
                    [](PDRIVER_OBJECT driver) {
                        PDEVICE_OBJECT device = nullptr;
                        NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
                        if (NT_SUCCESS(status)) IoDeleteDevice(device);
                        return status == STATUS_INSUFFICIENT_RESOURCES;
                    }},
        ServiceCase{"IoAllocateMdl",
                    [](PDRIVER_OBJECT) {
                        PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
                        if (mdl) IoFreeMdl(mdl);
                        return mdl == nullptr;
                    }},
        ServiceCase{"IoAllocateIrp",
                    [](PDRIVER_OBJECT) {
                        PIRP irp = IoAllocateIrp(2, FALSE);
                        if (irp) IoFreeIrp(irp);
                        return irp == nullptr;
                    }},
        ServiceCase{"ZwOpenKey", [](PDRIVER_OBJECT) {
                        UNICODE_STRING name;
                        RtlInitUnicodeString(&name, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Watched");
                        OBJECT_ATTRIBUTES attributes;
                        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
                        HANDLE key = nullptr;
                        NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
                        if (NT_SUCCESS(status)) ZwClose(key);
                        return status == STATUS_INSUFFICIENT_RESOURCES;
                    }}),
    test::CaseName());

}  // namespace
