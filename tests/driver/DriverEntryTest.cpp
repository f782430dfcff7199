// Loading the driver: the control device, its name and link, and its answers.
#include <gtest/gtest.h>

#include "control/Protocol.h"
#include "common/DriverGlobals.h"
#include "common/Roles.h"
#include "sim/kernel/Kernel.h"
#include "sim/kernel/Loader.h"
#include "tests/support/DriverUnderTest.h"
#include "tests/support/CaseName.h"

namespace {

using test::ResetDriverGlobals;

class DriverEntryTest : public ::testing::Test {
protected:
    DriverEntryTest() { ResetDriverGlobals(); }
    sim::Kernel kernel;
};

TEST_F(DriverEntryTest, CreatesTheNamedControlDeviceAndItsLink) {
    sim::LoadedDriver driver = sim::LoadDriver(DriverEntry, L"VoxenPCI");
    ASSERT_EQ(driver.status, STATUS_SUCCESS);

    PDEVICE_OBJECT control = kernel.Objects().Resolve(L"\\Device\\VoxenPCI", nullptr);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control, DriverGlobals.ControlDevice);
    EXPECT_EQ(control->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(control->DeviceExtension, nullptr);
    EXPECT_EQ(control->DriverObject, driver.object);
    EXPECT_EQ(kernel.Objects().Resolve(L"\\DosDevices\\VoxenPCI", nullptr), control);
    EXPECT_EQ(DriverGlobals.DriverObject, driver.object);
    EXPECT_FALSE(DriverGlobals.Disabled);
    EXPECT_EQ(driver.object->MajorFunction[IRP_MJ_DEVICE_CONTROL], ControlDispatch);
    EXPECT_EQ(driver.object->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], ControlDispatch);
    EXPECT_EQ(driver.object->MajorFunction[IRP_MJ_CREATE], PassThrough);
    EXPECT_EQ(driver.object->DriverUnload, nullptr) << "the driver stays until shutdown";
    EXPECT_TRUE(kernel.Shutdown().empty());
}

struct CallerCase {
    const char* name;
    sim::Caller caller;
};

class ControlDeviceOpen : public ::testing::TestWithParam<CallerCase> {
protected:
    ControlDeviceOpen() { ResetDriverGlobals(); }
    sim::Kernel kernel;
};

TEST_P(ControlDeviceOpen, CreateCleanupAndCloseSucceed) {
    ASSERT_EQ(sim::LoadDriver(DriverEntry, L"VoxenPCI").status, STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kernel.Io().Open(VOXEN_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, GetParam().caller, &file),
              STATUS_SUCCESS);
    kernel.Io().CloseHandle(file);  // cleanup, then close: an unsuccessful one would leave the file object
    EXPECT_TRUE(kernel.Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Callers, ControlDeviceOpen,
                         ::testing::Values(CallerCase{"Administrator", sim::Caller::Administrator},
                                           CallerCase{"System", sim::Caller::System}),
                         test::CaseName());

TEST_F(DriverEntryTest, OtherRequestsToTheControlDeviceCompleteWithSuccess) {
    ASSERT_EQ(sim::LoadDriver(DriverEntry, L"VoxenPCI").status, STATUS_SUCCESS);
    for (ULONG major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SHUTDOWN}) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK block{};
        block.Status = STATUS_UNSUCCESSFUL;
        PIRP irp = IoBuildSynchronousFsdRequest(major, DriverGlobals.ControlDevice, nullptr, 0, nullptr, &event, &block);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoCallDriver(DriverGlobals.ControlDevice, irp), STATUS_SUCCESS) << "major " << major;
        EXPECT_EQ(block.Status, STATUS_SUCCESS) << "major " << major;
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST_F(DriverEntryTest, RefusesControlCodesItDoesNotServeWithNothingReturned) {
    ASSERT_EQ(sim::LoadDriver(DriverEntry, L"VoxenPCI").status, STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kernel.Io().Open(VOXEN_USER_DEVICE_PATH, GENERIC_READ, sim::Caller::Administrator, &file), STATUS_SUCCESS);
    for (ULONG code : {0x80000044u, 0x00220000u}) {
        unsigned char output[8];
        std::memset(output, 0x5A, sizeof output);
        ULONG_PTR information = 99;
        EXPECT_EQ(kernel.Io().DeviceIoControl(file, code, nullptr, 0, output, sizeof output, &information),
                  STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(information, 0u);
        for (unsigned char byte : output) EXPECT_EQ(byte, 0x5A);
    }
    kernel.Io().CloseHandle(file);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST_F(DriverEntryTest, AControlDeviceThatCannotBeCreatedFailsTheLoadAndSetsUpNothing) {
    kernel.Memory().FailTag(sim::MakeTag("Devi"), true);
    sim::LoadedDriver driver = sim::LoadDriver(DriverEntry, L"VoxenPCI");
    EXPECT_EQ(driver.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kernel.Objects().Resolve(L"\\DosDevices\\VoxenPCI", nullptr), nullptr);
    EXPECT_EQ(DriverGlobals.DriverObject, nullptr);
    EXPECT_EQ(driver.object->MajorFunction[IRP_MJ_CREATE], sim::InvalidDeviceRequest);
    std::vector<std::string> leaks = kernel.Shutdown();
    EXPECT_TRUE(leaks.empty()) << ::testing::PrintToString(leaks);
}

TEST(DriverEntrySafeMode, LoadsDisabledWithItsControlDeviceInEveryKindOfSafeMode) {
    for (ULONG safeMode : {1u, 2u, 3u}) {  // minimal, with networking, directory services repair
        ResetDriverGlobals();
        sim::Kernel kernel(sim::KernelConfig{1, safeMode, {}});
        ASSERT_EQ(sim::LoadDriver(DriverEntry, L"VoxenPCI").status, STATUS_SUCCESS);
        EXPECT_TRUE(DriverGlobals.Disabled) << "safe mode " << safeMode;
        EXPECT_NE(kernel.Objects().Resolve(L"\\Device\\VoxenPCI", nullptr), nullptr);
        EXPECT_TRUE(kernel.Registry().Accesses().empty()) << "safe mode reads and writes nothing";
        EXPECT_TRUE(kernel.Shutdown().empty());
    }
}

// Windows 8 brought no-execute non-paged pool; Windows 7 knows only the executable kind.
TEST(DriverEntryPool, ChoosesNoExecuteNonPagedPoolWhereWindowsHasIt) {
    struct {
        sim::WindowsVersion version;
        POOL_TYPE chosen;
    } cases[] = {{{6, 1, 7601}, NonPagedPool},
                 {{6, 2, 9200}, NonPagedPoolNx},
                 {{6, 3, 9600}, NonPagedPoolNx},
                 {{10, 0, 22631}, NonPagedPoolNx}};
    for (const auto& c : cases) {
        ResetDriverGlobals();
        sim::Kernel kernel(sim::KernelConfig{1, 0, c.version});
        ASSERT_EQ(sim::LoadDriver(DriverEntry, L"VoxenPCI").status, STATUS_SUCCESS);
        EXPECT_EQ(DriverGlobals.NonPagedPoolType, c.chosen) << c.version.major << "." << c.version.minor;
        EXPECT_TRUE(kernel.Shutdown().empty());
    }
}

}  // namespace
