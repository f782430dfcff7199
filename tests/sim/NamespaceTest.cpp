// Device names, symbolic links, and the access check made when a caller opens a device.
#include <gtest/gtest.h>

#include "tests/support/TestDriver.h"
#include "tests/support/CaseName.h"

namespace {

using test::CompleteWith;
using test::TestDriver;

struct OpenCase {
    const char* name;
    sim::Caller caller;
    const wchar_t* path;
    bool secureOpen;  // FILE_DEVICE_SECURE_OPEN on the top of the stack
    NTSTATUS status;
};

class OpenAccessCheck : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenAccessCheck, FollowsTheDevicesRuleAndSecureOpen) {
    const OpenCase& c = GetParam();
    sim::Kernel kernel;
    {
        TestDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice(CompleteWith(STATUS_SUCCESS), nullptr, L"\\Device\\Guarded");
        device->Sim->rule = sim::AccessRule::AdministratorsAndSystem;
        driver.AddDevice(CompleteWith(STATUS_SUCCESS), device, L"", c.secureOpen ? FILE_DEVICE_SECURE_OPEN : 0);
        UNICODE_STRING link, name;
        RtlInitUnicodeString(&link, L"\\DosDevices\\Guarded");
        RtlInitUnicodeString(&name, L"\\Device\\Guarded");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);

        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(kernel.Io().Open(c.path, GENERIC_READ, c.caller, &file), c.status);
        if (file) kernel.Io().CloseHandle(file);
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenAccessCheck,
    ::testing::Values(
        OpenCase{"AdministratorOpens", sim::Caller::Administrator, L"\\\\.\\Guarded", false, STATUS_SUCCESS},
        OpenCase{"SystemOpens", sim::Caller::System, L"\\Device\\Guarded", false, STATUS_SUCCESS},
        OpenCase{"UserRefused", sim::Caller::User, L"\\\\.\\Guarded", false, STATUS_ACCESS_DENIED},
        OpenCase{"UserRefusedByDosDevicesName", sim::Caller::User, L"\\DosDevices\\Guarded", false, STATUS_ACCESS_DENIED},
        OpenCase{"UserPastTheNameUncheckedWithoutSecureOpen", sim::Caller::User, L"\\\\.\\Guarded\\x", false,
                 STATUS_SUCCESS},
        OpenCase{"UserPastTheNameCheckedWithSecureOpen", sim::Caller::User, L"\\\\.\\Guarded\\x", true,
                 STATUS_ACCESS_DENIED},
        OpenCase{"UnknownName", sim::Caller::Administrator, L"\\\\.\\Nothing", false, STATUS_OBJECT_NAME_NOT_FOUND}),
    test::CaseName());

TEST(Names, ADeviceNameCanBeTakenOnce) {
    sim::Kernel kernel;
    {
        TestDriver driver;
        ASSERT_NE(driver.AddDevice(CompleteWith(STATUS_SUCCESS), nullptr, L"\\Device\\Once"), nullptr);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\ONCE");
        PDEVICE_OBJECT second = nullptr;
        EXPECT_EQ(IoCreateDevice(driver.Object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
                  STATUS_OBJECT_NAME_COLLISION);
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(Names, AFailedCreateLeavesNoFileObject) {
    sim::Kernel kernel;
    {
        TestDriver driver;
        driver.AddDevice(CompleteWith(STATUS_ACCESS_DENIED), nullptr, L"\\Device\\Refuses");
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(kernel.Io().Open(L"\\Device\\Refuses", GENERIC_READ, sim::Caller::Administrator, &file),
                  STATUS_ACCESS_DENIED);
        EXPECT_EQ(file, nullptr);
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(Stacks, AttachingStacksDevicesAndDetachingUnstacksThem) {
    sim::Kernel kernel;
    {
        TestDriver driver;
        PDEVICE_OBJECT pdo = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
        PDEVICE_OBJECT middle = driver.AddDevice(CompleteWith(STATUS_SUCCESS), pdo);
        PDEVICE_OBJECT filter = driver.AddDevice(CompleteWith(STATUS_SUCCESS));
        EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), middle) << "attaches to the top, whatever it is given";
        EXPECT_EQ(filter->StackSize, 3);
        EXPECT_EQ(IoGetAttachedDevice(pdo), filter);
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
        EXPECT_EQ(top, filter);
        ObfDereferenceObject(top);
        IoDetachDevice(middle);
        EXPECT_EQ(IoGetAttachedDevice(pdo), middle);
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

}  // namespace
