// The protocol fuzzer's short run: seeded requests and machine events on every
// example machine of docs/machine.md, every answer checked and every shutdown
// clean; and the checks themselves, each shown a reply that breaks it.
#include <gtest/gtest.h>

#include <set>

#include "control/Protocol.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/Violation.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"
#include "tools/voxen-fuzz/Campaign.h"
#include "tools/voxen-fuzz/Checks.h"
#include "tools/voxen-fuzz/Machines.h"

namespace {

std::vector<fuzz::NamedMachine> ExampleMachines() {
    std::vector<fuzz::NamedMachine> machines;
    std::string error;
    EXPECT_TRUE(fuzz::LoadMachines(std::string(VOXEN_SOURCE_DIR) + "/docs/machine.md", &machines, &error)) << error;
    return machines;
}

// Booted as every driver test boots, so the second ctest pass fuzzes DPC machines.
std::unique_ptr<sim::Machine> BootForTest(const sim::MachineSpec& spec) { return test::Boot(spec); }

TEST(ProtocolFuzz, ShortRunOnEveryExampleMachineBreaksNoRule) {
    std::vector<fuzz::NamedMachine> machines = ExampleMachines();
    ASSERT_GE(machines.size(), 6u);
    fuzz::Stats total;
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        for (const fuzz::NamedMachine& machine : machines) {
            sim::MachineSpec spec = machine.spec;
            spec.seed = seed;
            fuzz::SeededSource source(seed);
            fuzz::Campaign campaign(spec, machine.name + " with seed " + std::to_string(seed), BootForTest);
            EXPECT_EQ(campaign.Run(source, 200, &total), "");
        }
    }
    EXPECT_EQ(total.requests, 3 * 200 * machines.size());
    EXPECT_EQ(total.boots, 3 * machines.size());
    EXPECT_GT(total.events, total.requests / 20) << "machine events are interleaved";
    // The run reaches past the length checks: requests succeed, and fail in more than one way.
    EXPECT_GT(total.statuses[STATUS_SUCCESS], total.requests / 20);
    EXPECT_GE(total.statuses.size(), 4u);
}

TEST(ProtocolFuzz, ASeedGivesTheSameStepsEveryTime) {
    sim::MachineSpec spec = ExampleMachines().back().spec;
    fuzz::MachineView view = fuzz::MachineView::Of(spec);
    auto steps = [&](uint64_t seed) {
        fuzz::SeededSource source(seed);
        std::vector<std::string> described;
        for (int i = 0; i < 200; ++i) described.push_back(fuzz::Describe(fuzz::NextStep(source, view)));
        return described;
    };
    EXPECT_EQ(steps(7), steps(7));
    EXPECT_NE(steps(7), steps(8));
}

TEST(ProtocolFuzz, TheGeneratorCoversCodesLengthsAndEvents) {
    fuzz::MachineView view = fuzz::MachineView::Of(ExampleMachines().back().spec);
    fuzz::SeededSource source(1);
    std::set<uint32_t> codes;
    std::set<fuzz::Step::Kind> kinds;
    bool pastAPage = false, emptyInput = false, otherMethod = false, otherType = false;
    for (int i = 0; i < 5000; ++i) {
        fuzz::Step step = fuzz::NextStep(source, view);
        kinds.insert(step.kind);
        if (step.kind != fuzz::Step::Kind::Control) continue;
        codes.insert(step.request.code);
        pastAPage |= step.request.input.size() > 4096 || step.request.outputLength > 4096;
        emptyInput |= step.request.input.empty();
        otherMethod |= (step.request.code & 3) != METHOD_BUFFERED;
        otherType |= (step.request.code >> 16) != 0x8000;
    }
    for (uint32_t code : {IOCTL_GET_BRIDGE_COUNT, IOCTL_GET_BRIDGE_INFO, IOCTL_SET_BRIDGE_POWER, IOCTL_QUERY_BRIDGE_POWER,
                          IOCTL_GET_CHILD_INFO, IOCTL_RESERVED_6, IOCTL_RESERVED_7, IOCTL_SET_CHILD_POWER,
                          IOCTL_ARM_BOOT_GUARD, IOCTL_SET_CHILD_POWER + 4, IOCTL_GET_BRIDGE_COUNT - 4})
        EXPECT_TRUE(codes.count(code)) << std::hex << code;
    EXPECT_TRUE(pastAPage && emptyInput && otherMethod && otherType);
    EXPECT_EQ(kinds.size(), 8u) << "every kind of step";
}

// What libFuzzer hands over decodes into steps until it runs out.
TEST(ProtocolFuzz, BytesDecodeIntoARunThatEndsWithThem) {
    std::vector<uint8_t> bytes(4000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + (i >> 5));
    fuzz::ByteSource source(bytes.data(), bytes.size());
    fuzz::Campaign campaign(ExampleMachines().back().spec, "bytes", BootForTest);
    fuzz::Stats stats;
    EXPECT_EQ(campaign.Run(source, 1000000, &stats), "");
    EXPECT_TRUE(source.Done());
    EXPECT_GT(stats.requests, 0u);
    EXPECT_LT(stats.requests, 1000000u);
}

TEST(ProtocolFuzz, AShutdownThatLeavesPoolIsAFault) {
    auto leaking = [](const sim::MachineSpec& spec) {
        auto machine = test::Boot(spec);
        ExAllocatePoolWithTag(PagedPool, 32, 0x6B61654C);  // 'Leak'
        return machine;
    };
    fuzz::SeededSource source(1);
    fuzz::Stats stats;
    std::string finding = fuzz::Campaign(ExampleMachines().back().spec, "leaking", leaking).Run(source, 10, &stats);
    EXPECT_NE(finding.find("left behind at the shutdown of leaking"), std::string::npos) << finding;
}

// The kernel stopping the machine ends the program; what was being done is said first.
TEST(ProtocolFuzzDeathTest, AKernelStopNamesTheStep) {
    auto stopping = [](const sim::MachineSpec& spec) {
        auto machine = test::Boot(spec);
        machine->Os().Io().SetObserver([](const sim::IrpEvent& event) {
            if (event.kind == sim::IrpEvent::Kind::Dispatch && event.major == IRP_MJ_DEVICE_CONTROL)
                sim::Violation("a rule broken on purpose");
        });
        return machine;
    };
    fuzz::SeededSource source(1);
    fuzz::Stats stats;
    fuzz::Campaign campaign(ExampleMachines().back().spec, "stopping", stopping);
    EXPECT_EXIT(campaign.Run(source, 10, &stats), ::testing::ExitedWithCode(sim::kViolationExitCode),
                "stopped at step [0-9]+ of stopping: ");
}

struct ReplyCase {
    const char* name;
    uint32_t code;
    size_t inputLength;
    uint32_t outputLength;
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<std::pair<size_t, uint8_t>> written;  // output bytes changed from the caller's fill
    const char* broken;                               // part of the message, or "" when every rule holds
};

class ReplyChecks : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyChecks, NameTheRuleAReplyBreaks) {
    const ReplyCase& c = GetParam();
    fuzz::Request request;
    request.code = c.code;
    request.input.assign(c.inputLength, 0);
    request.outputLength = c.outputLength;
    fuzz::Reply reply;
    reply.status = c.status;
    reply.information = c.information;
    reply.output.assign(c.outputLength + fuzz::kGuard, fuzz::kCallerFill);
    for (auto& [offset, value] : c.written) reply.output[offset] = value;
    std::string broken = fuzz::CheckReply(request, reply);
    if (*c.broken == '\0')
        EXPECT_EQ(broken, "");
    else
        EXPECT_NE(broken.find(c.broken), std::string::npos) << broken;
}

const uint8_t kPoison = sim::kSystemBufferPoison;

INSTANTIATE_TEST_SUITE_P(
    Table, ReplyChecks,
    ::testing::Values(
        ReplyCase{"Answered", IOCTL_GET_BRIDGE_COUNT, 0, 4, STATUS_SUCCESS, 4, {{0, 1}, {1, 0}, {2, 0}, {3, 0}}, ""},
        ReplyCase{"RefusedWithNothing", IOCTL_GET_BRIDGE_COUNT, 0, 4, STATUS_INVALID_DEVICE_REQUEST, 0, {}, ""},
        ReplyCase{"Pending", IOCTL_GET_BRIDGE_COUNT, 0, 4, STATUS_PENDING, 0, {}, "STATUS_PENDING"},
        ReplyCase{"MoreThanTheBuffer", IOCTL_GET_BRIDGE_COUNT, 0, 4, STATUS_SUCCESS, 5, {}, "more than the 4-byte"},
        ReplyCase{"FailedWithBytes", IOCTL_QUERY_BRIDGE_POWER, 4, 4, STATUS_INVALID_PARAMETER, 4, {{0, 0}}, "came back from a request that failed"},
        // A failed query keeps its documented length; nothing reaches the caller.
        ReplyCase{"FailedWithInformation", IOCTL_QUERY_BRIDGE_POWER, 4, 4, STATUS_UNSUCCESSFUL, 4, {}, ""},
        ReplyCase{"WrittenPastInformation", IOCTL_GET_BRIDGE_COUNT, 0, 8, STATUS_SUCCESS, 4, {{5, 0}}, "byte 5 was written"},
        ReplyCase{"WrittenPastTheBuffer", IOCTL_GET_BRIDGE_COUNT, 0, 4, STATUS_SUCCESS, 4, {{4, 0}}, "past the buffer"},
        ReplyCase{"PoisonReturned", IOCTL_GET_BRIDGE_COUNT, 0, 8, STATUS_SUCCESS, 8, {{6, kPoison}}, "poison"},
        // The caller's own bytes may come back as they were, whatever they are.
        ReplyCase{"InputEchoed", IOCTL_QUERY_BRIDGE_POWER, 4, 4, STATUS_SUCCESS, 4, {{0, kPoison}}, ""},
        // Only a buffered request has a system buffer the output comes from.
        ReplyCase{"DirectOutput", IOCTL_GET_BRIDGE_COUNT | METHOD_OUT_DIRECT, 0, 4, STATUS_SUCCESS, 4, {{0, kPoison}}, ""}),
    test::CaseName());

}  // namespace
