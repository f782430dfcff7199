// The in-memory registry through the Zw services.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/kernel/Kernel.h"
#include "tests/support/CaseName.h"

namespace {

const wchar_t* const kKey = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Test";

HANDLE Open(const wchar_t* path, NTSTATUS* status, ACCESS_MASK access = KEY_ALL_ACCESS) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    *status = ZwOpenKey(&key, access, &attributes);
    return key;
}

TEST(Registry, OpensKeysCaseInsensitivelyAndFailsForMissingOnes) {
    sim::Kernel kernel;
    kernel.Registry().CreateKey(kKey);
    NTSTATUS status;
    HANDLE key = Open(L"\\REGISTRY\\machine\\system\\currentcontrolset\\services\\TEST", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_NE(key, nullptr);
    ZwClose(key);
    Open(L"\\Registry\\Machine\\Nowhere", &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

// A handle can do only what it was opened for, as the object manager's access check grants.
struct AccessCase {
    const char* name;
    ACCESS_MASK access;
    NTSTATUS query;
    NTSTATUS set;
};

class KeyHandleAccess : public ::testing::TestWithParam<AccessCase> {};

TEST_P(KeyHandleAccess, AllowsOnlyWhatTheHandleWasOpenedFor) {
    sim::Kernel kernel;
    kernel.Registry().CreateKey(kKey);
    NTSTATUS status;
    HANDLE key = Open(kKey, &status, GetParam().access);
    ASSERT_EQ(status, STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Value");
    ULONG data = 0x1234;
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof(data)), GetParam().set);
    UCHAR buffer[64];
    ULONG length = 0;
    NTSTATUS queried = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    // Where setting was refused there is no value to find.
    NTSTATUS expected = GetParam().query;
    if (expected == STATUS_SUCCESS && GetParam().set != STATUS_SUCCESS) expected = STATUS_OBJECT_NAME_NOT_FOUND;
    EXPECT_EQ(queried, expected);
    ZwClose(key);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, KeyHandleAccess,
                         ::testing::Values(AccessCase{"Read", KEY_READ, STATUS_SUCCESS, STATUS_ACCESS_DENIED},
                                           AccessCase{"Write", KEY_WRITE, STATUS_ACCESS_DENIED, STATUS_SUCCESS},
                                           AccessCase{"QueryValueOnly", 0x0001, STATUS_SUCCESS, STATUS_ACCESS_DENIED},
                                           AccessCase{"SetValueOnly", 0x0002, STATUS_ACCESS_DENIED, STATUS_SUCCESS},
                                           AccessCase{"GenericRead", GENERIC_READ, STATUS_SUCCESS, STATUS_ACCESS_DENIED},
                                           AccessCase{"GenericWrite", GENERIC_WRITE, STATUS_ACCESS_DENIED, STATUS_SUCCESS},
                                           AccessCase{"All", KEY_ALL_ACCESS, STATUS_SUCCESS, STATUS_SUCCESS}),
                         test::CaseName());

struct QueryCase {
    const char* name;
    ULONG length;
    NTSTATUS status;
    bool headerFilled;
    bool dataFilled;
};

class PartialInformationQuery : public ::testing::TestWithParam<QueryCase> {};

TEST_P(PartialInformationQuery, ReportsWhatFits) {
    const QueryCase& c = GetParam();
    sim::Kernel kernel;
    kernel.Registry().SetDword(kKey, L"EnablePolling", 0x12345678);
    NTSTATUS status;
    HANDLE key = Open(kKey, &status);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"enablepolling");
    unsigned char buffer[32];
    std::memset(buffer, 0xCC, sizeof buffer);
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, c.length, &result), c.status);
    EXPECT_EQ(result, 16u);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (c.headerFilled) {
        EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
        EXPECT_EQ(info->DataLength, 4u);
    }
    ULONG data;
    std::memcpy(&data, info->Data, 4);
    EXPECT_EQ(data == 0x12345678, c.dataFilled);
    ZwClose(key);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, PartialInformationQuery,
                         ::testing::Values(QueryCase{"Fits", 20, STATUS_SUCCESS, true, true},
                                           QueryCase{"Exact", 16, STATUS_SUCCESS, true, true},
                                           QueryCase{"HeaderOnly", 12, STATUS_BUFFER_OVERFLOW, true, false},
                                           QueryCase{"TooSmall", 8, STATUS_BUFFER_TOO_SMALL, false, false}),
                         test::CaseName());

TEST(Registry, KeepsEachValuesTypeAndLogsDriverAccesses) {
    sim::Kernel kernel;
    kernel.Registry().SetString(kKey, L"EnablePolling", L"0");
    NTSTATUS status;
    HANDLE key = Open(kKey, &status);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"EnablePolling");
    unsigned char buffer[20];
    ULONG result = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->Type, static_cast<ULONG>(REG_SZ));
    ULONG value = 7;
    RtlInitUnicodeString(&name, L"DCState");
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(kernel.Registry().GetDword(kKey, L"dcstate"), 7u);
    ASSERT_EQ(kernel.Registry().Accesses().size(), 3u);
    EXPECT_EQ(kernel.Registry().Accesses()[2].rfind("set ", 0), 0u);
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(Registry, AKeyHandleNeverClosedIsALeak) {
    sim::Kernel kernel;
    kernel.Registry().CreateKey(kKey);
    NTSTATUS status;
    Open(kKey, &status);
    std::vector<std::string> leaks = kernel.Shutdown();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].find("registry key handle"), std::string::npos);
}

}  // namespace
