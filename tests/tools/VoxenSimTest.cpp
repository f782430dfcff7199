// voxen-sim: the machine descriptions of docs/machine.md, every script
// command, its mistakes and its trace.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <map>

#include "common/Roles.h"
#include "sim/machine/Description.h"
#include "tests/support/CaseName.h"
#include "tests/support/DriverUnderTest.h"
#include "tools/voxen-sim/Session.h"

namespace {

std::string ReadSource(const std::string& relative) {
    std::ifstream file(std::string(VOXEN_SOURCE_DIR) + "/" + relative);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> JsonExamples() {
    std::string doc = ReadSource("docs/machine.md");
    std::vector<std::string> examples;
    std::regex block("```json\n([\\s\\S]*?)```");
    for (std::sregex_iterator it(doc.begin(), doc.end(), block), end; it != end; ++it) examples.push_back((*it)[1]);
    return examples;
}

struct RunResult {
    int code;
    std::string out;
};

RunResult RunScript(const std::string& machine, const std::string& script, voxen::Trace* trace = nullptr) {
    sim::MachineSpec spec;
    std::string error;
    if (!sim::ParseMachine(machine, &spec, &error)) return {voxen::kScriptError, error};
    std::istringstream input(script);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int code = voxen::Session(spec, trace).Run(input, "test.script");
    std::string out = ::testing::internal::GetCapturedStdout();
    out += ::testing::internal::GetCapturedStderr();
    return {code, out};
}

TEST(MachineDescriptions, EveryExampleOfTheDocumentBootsAndShutsDownClean) {
    std::vector<std::string> examples = JsonExamples();
    ASSERT_GE(examples.size(), 6u);
    for (const std::string& example : examples) {
        RunResult result = RunScript(example, "show\n");
        EXPECT_EQ(result.code, voxen::kRan) << example << result.out;
        EXPECT_NE(result.out.find("shutdown clean"), std::string::npos) << result.out;
    }
}

TEST(MachineDescriptions, TheDocumentedDefaultMachineIsTheEmbeddedOne) {
    sim::MachineSpec documented, embedded;
    std::string error;
    ASSERT_TRUE(sim::ParseMachine(JsonExamples().back(), &documented, &error)) << error;
    ASSERT_TRUE(sim::ParseMachine(sim::DefaultMachineJson(), &embedded, &error)) << error;
    ASSERT_EQ(documented.functions.size(), embedded.functions.size());
    for (size_t i = 0; i < embedded.functions.size(); ++i) {
        EXPECT_EQ(documented.functions[i].location.Text(), embedded.functions[i].location.Text());
        EXPECT_EQ(documented.functions[i].deviceId, embedded.functions[i].deviceId);
    }
    EXPECT_EQ(embedded.functions[0].location.Text(), "00:1c.0");
    EXPECT_TRUE(embedded.functions[0].dsm.present);
    EXPECT_EQ(embedded.functions[1].name, "display");
    EXPECT_EQ(embedded.functions[2].location.Text(), "01:00.1");
    EXPECT_EQ(embedded.functions[1].answersAfter, 20 * sim::kMillisecond);
    EXPECT_TRUE(embedded.serial.present);
    ASSERT_EQ(embedded.boards.size(), 1u);
    EXPECT_EQ(embedded.boards[0].productId, 0x0317);
}

TEST(MachineDescriptions, FieldsReachTheSimulatedMachine) {
    sim::MachineSpec spec;
    std::string error;
    ASSERT_TRUE(sim::ParseMachine(JsonExamples()[3], &spec, &error)) << error;  // the devices example
    ASSERT_EQ(spec.functions.size(), 4u);
    const sim::PciFunctionSpec& audio = spec.functions[2];
    EXPECT_EQ(audio.location.Text(), "01:00.1");
    EXPECT_EQ(audio.vendorId, 0x1cd7);
    EXPECT_EQ(audio.subClass, 0x03);
    EXPECT_TRUE(audio.capabilities.empty());
    EXPECT_EQ(audio.powerSwitch, "hid:bench");
    EXPECT_EQ(audio.answersAfter, 150 * sim::kMillisecond);
    EXPECT_EQ(spec.functions[3].answersAfter, -1);
    EXPECT_FALSE(spec.functions[3].pciExpress);
    EXPECT_TRUE(spec.serial.onWhenSet);
    EXPECT_EQ(spec.serial.powers, "01:01");
}

TEST(MachineDescriptions, KernelAndDriverBehaviourReachTheSimulatedMachine) {
    sim::MachineSpec spec;
    std::string error;
    std::string strict;
    for (const std::string& example : JsonExamples())
        if (example.find("\"strict laptop\"") != std::string::npos) strict = example;
    ASSERT_TRUE(sim::ParseMachine(strict, &spec, &error)) << error;  // how its drivers behave
    EXPECT_EQ(spec.windowsVersion.major, 6u);
    EXPECT_EQ(spec.windowsVersion.minor, 1u);
    EXPECT_FALSE(spec.windowsVersion.HasNonExecutablePool());
    ASSERT_EQ(spec.functions.size(), 3u);
    EXPECT_TRUE(spec.functions[0].busDriverCompletesFromDpc);
    EXPECT_FALSE(spec.functions[0].functionDriverCompletesFromDpc);
    EXPECT_TRUE(spec.functions[1].busDriverCompletesFromDpc && spec.functions[1].functionDriverCompletesFromDpc);
    EXPECT_TRUE(spec.functions[1].pageable);
    EXPECT_FALSE(spec.functions[2].pageable);
    EXPECT_FALSE(spec.functions[2].busDriverCompletesFromDpc || spec.functions[2].functionDriverCompletesFromDpc);

    struct {
        const char* json;
        ULONG safeMode;
    } safeModes[] = {{R"({"safeMode": true})", 1}, {R"({"safeMode": false})", 0}, {R"({"safeMode": 2})", 2},
                     {R"({"safeMode": "3"})", 3}, {R"({})", 0}};
    for (const auto& c : safeModes) {
        ASSERT_TRUE(sim::ParseMachine(c.json, &spec, &error)) << error;
        EXPECT_EQ(spec.safeMode, c.safeMode) << c.json;
    }

    struct {
        const char* json;
        int64_t time;
    } accessTimes[] = {{R"({})", 10}, {R"({"configAccessTime": "0us"})", 0},
                       {R"({"configAccessTime": "250us"})", 2500}, {R"({"configAccessTime": "1s"})", sim::kSecond}};
    for (const auto& c : accessTimes) {
        ASSERT_TRUE(sim::ParseMachine(c.json, &spec, &error)) << error;
        EXPECT_EQ(spec.configAccessTime, c.time) << c.json;
    }
}

struct MistakeCase {
    const char* name;
    const char* json;
    const char* says;
};

class MachineMistakes : public ::testing::TestWithParam<MistakeCase> {};

TEST_P(MachineMistakes, AreNamedWithTheirField) {
    sim::MachineSpec spec;
    std::string error;
    EXPECT_FALSE(sim::ParseMachine(GetParam().json, &spec, &error));
    EXPECT_NE(error.find(GetParam().says), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MachineMistakes,
    ::testing::Values(
        MistakeCase{"NotJson", "{ bridges: ", "not JSON"},
        MistakeCase{"UnknownField", R"({"bridge": []})", "bridge: is not a field here"},
        MistakeCase{"MissingLocation", R"({"bridges": [{"secondaryBus": 1}]})", "bridges[0].location: is missing"},
        MistakeCase{"BadLocation", R"({"bridges": [{"location": "0:1c", "secondaryBus": 1}]})", "is not a PCI location"},
        MistakeCase{"WrongBus", R"({"bridges": [{"location": "02:00.0", "secondaryBus": 3}]})", "is on bus 02"},
        MistakeCase{"NumberTooLarge", R"({"bridges": [{"location": "00:1c.0", "secondaryBus": 1, "vendorId": "0x10000"}]})",
                    "bridges[0].vendorId: 65536 is larger than 65535"},
        MistakeCase{"NotANumber", R"({"seed": "many"})", "seed: 'many' is not a number"},
        MistakeCase{"SameLocationTwice",
                    R"({"bridges": [{"location": "00:1c.0", "secondaryBus": 1}, {"location": "00:1c.0", "secondaryBus": 2}]})",
                    "a second function at 00:1c.0"},
        MistakeCase{"RegistryType", R"({"registry": {"EnableDC": {"type": "qword", "value": 1}}})",
                    "registry.EnableDC.type: expected \"dword\" or \"sz\""},
        MistakeCase{"UnknownBoard",
                    R"({"bridges": [{"location": "00:1c.0", "secondaryBus": 1, "devices": [{"device": 0, "power": {"switch": "hid:x"}, "functions": [{"function": 0}]}]}]})",
                    "board 'x'"},
        MistakeCase{"BadDuration",
                    R"({"bridges": [{"location": "00:1c.0", "secondaryBus": 1, "devices": [{"device": 0, "power": {"answersAfter": "soon"}, "functions": [{"function": 0}]}]}]})",
                    "expected a duration"},
        MistakeCase{"LeadingZerosAreDecimal", R"({"seed": "010", "safeMode": "09"})", "safeMode: 9 is larger than 3"},
        MistakeCase{"DurationTooLong",
                    R"({"bridges": [{"location": "00:1c.0", "secondaryBus": 1, "devices": [{"device": 0, "power": {"answersAfter": "999999999999s"}, "functions": [{"function": 0}]}]}]})",
                    "at most 1000000s"},
        MistakeCase{"TooManyCapabilities",
                    R"({"bridges": [{"location": "00:1c.0", "secondaryBus": 1, "capabilities": [1,5,9,1,5,9,1,5,9,1,5,9]}]})",
                    "bridges[0].capabilities: 13 capabilities do not fit in the configuration header (at most 12, the PCI Express one included)"},
        MistakeCase{"ExpressCapabilityInTheList",
                    R"({"bridges": [{"location": "00:1c.0", "secondaryBus": 1, "pciExpress": false, "capabilities": [1, 16]}]})",
                    "bridges[0].capabilities[1]: 0x10 is the PCI Express capability"},
        MistakeCase{"TwoBridgesOneBus",
                    R"({"bridges": [{"location": "00:1c.0", "secondaryBus": 1}, {"location": "00:1d.0", "secondaryBus": 1}]})",
                    "bridges[1].secondaryBus: bus 01 is already behind the bridge at 00:1c.0"},
        MistakeCase{"SafeModeTooLarge", R"({"safeMode": 4})", "safeMode: 4 is larger than 3"},
        MistakeCase{"AccessTimeNever", R"({"configAccessTime": "never"})", "configAccessTime: expected a duration from"},
        MistakeCase{"AccessTimeTooLong", R"({"configAccessTime": "2s"})", "configAccessTime: expected a duration from"},
        MistakeCase{"AccessTimeNotADuration", R"({"configAccessTime": 5})", "configAccessTime: expected a duration"},
        MistakeCase{"UnknownWindows", R"({"windowsVersion": "5.1"})", "windowsVersion: '5.1' is not a Windows version"},
        MistakeCase{"UnknownCompleter",
                    R"({"bridges": [{"location": "00:1c.0", "secondaryBus": 1, "completesFromDpc": ["acpi"]}]})",
                    "bridges[0].completesFromDpc[0]: expected \"bus\" or \"function\""},
        MistakeCase{"NoFunctions",
                    R"({"bridges": [{"location": "00:1c.0", "secondaryBus": 1, "devices": [{"device": 0, "functions": []}]}]})",
                    "one or more functions"}),
    test::CaseName());

struct CommandCase {
    const char* name;
    const char* script;
    int code;
    const char* says;  // a line the output must hold
};

class ScriptCommands : public ::testing::TestWithParam<CommandCase> {};

TEST_P(ScriptCommands, DoWhatTheySay) {
    RunResult result = RunScript(sim::DefaultMachineJson(), GetParam().script);
    EXPECT_EQ(result.code, GetParam().code) << result.out;
    EXPECT_NE(result.out.find(GetParam().says), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScriptCommands,
    ::testing::Values(
        CommandCase{"Advance", "advance 70s\nadvance 5ms\n", 0, "time     now 70005 ms"},
        CommandCase{"Show", "# comment only\nshow # and a comment\n", 0, "child 1: 01:00.1 [10de:10f1]"},
        CommandCase{"SurpriseRemove", "surprise-remove 01:00.1\nshow\n", 0, "01:00.1 audio [10de:10f1]  absent"},
        CommandCase{"SurpriseRemoveOrder", "surprise-remove 1:0.1\n", 0,
                    "pnp      01:00.1 audio: surprise removal\npnp      01:00.1 audio: removal"},
        CommandCase{"Remove", "remove 01:00.0\n", 0, "pnp      01:00.0 display: query removal"},
        CommandCase{"Plug", "remove 01:00.0\nplug 01:00.0\nshow\n", 0, "bridge 0: 00:1c.0 [8086:a110], 2 child(ren)"},
        CommandCase{"Invalidate", "invalidate 00:1c.0\n", 0,
                    "dbg| We alleady have that child in our ChildDevicesList, skip"},
        CommandCase{"HidRemoveAndArrive", "hid-remove switch\nhid-arrive switch\nshow\n", 0,
                    "HID board 'switch' [2047:0317]: plugged in"},
        CommandCase{"HidRemoved", "hid-remove switch\nshow\n", 0, "pnp      HID board 'switch': surprise removal"},
        CommandCase{"HidEjectThenArrive", "hid-eject switch\nhid-arrive switch\n", 0, "pnp      HID board 'switch': new device"},
        CommandCase{"SerialLines", "show\n", 0, "(the serial port driver's \\Driver\\Serial): DTR clear, RTS clear, not open"},
        CommandCase{"RegSetAndShow", "reg set EnablePolling dword 0\nreg set Note sz two words\nreg show\n", 0,
                    "reg      Note = sz \"two words\""},
        CommandCase{"RegDelete", "reg set A dword 1\nreg delete A\nreg show\n", 0, "the service key holds no values"},
        CommandCase{"RebootKeepsTheRegistry", "reg set EnableDC dword 0x07AADE22\nreboot\nreg show\n", 0,
                    "(filtering disabled for this boot)"},
        CommandCase{"UnknownCommand", "show\nfly 01:00.0\n", 2, "test.script:2: unknown command 'fly'"},
        CommandCase{"NoSuchFunction", "plug 03:00.0\n", 2, "test.script:1: the machine has no PCI function at 03:00.0"},
        CommandCase{"PlugWhatIsThere", "plug 01:00.0\n", 2, "01:00.0 is already plugged in"},
        CommandCase{"InvalidateAnEndpoint", "invalidate 01:00.0\n", 2, "01:00.0 is not a bridge"},
        CommandCase{"BadDuration", "advance soon\n", 2, "'soon' is not a duration"},
        CommandCase{"ShowSaysWhyFilteringIsOff", "reg set EnableDC dword 0x07AADE22\nreboot\nshow\n", 0,
                    "driver: 0 bridge(s), filtering disabled by the boot guard"},
        CommandCase{"ShowNamesTheDsmMethod", "show\n", 0, "2 child(ren), ACPI _DSM power method"},
        CommandCase{"ShowNamesABridgesStackByRole", "show\n", 0,
                    "stack, PDO first: PDO \\Driver\\pci <- ACPI filter \\Driver\\ACPI (_DSM) <- function driver "
                    "\\Driver\\pci <- VoxenPCI filter (bridge)"},
        CommandCase{"ShowNamesAChildsStackByRole", "show\n", 0,
                    "stack, PDO first: PDO \\Driver\\pci <- VoxenPCI filter (child) <- function driver \\Driver\\function"},
        CommandCase{"ShowNamesABoardsStack", "show\n", 0,
                    "stack, PDO first: PDO \\Driver\\HidUsb, raw (no function driver), a HID collection"},
        CommandCase{"ShowNamesTheSerialDriver", "show\n", 0,
                    "serial port \\Device\\Serial0 (the serial port driver's \\Driver\\Serial): DTR clear"},
        CommandCase{"BehindARemovedBridge", "surprise-remove 00:1c.0\nplug 01:00.1\n", 2,
                    "01:00.1 is behind 00:1c.0, which is not plugged in"},
        CommandCase{"DurationTooLong", "advance 9999999999s\n", 2, "'9999999999s' is not a duration"},
        CommandCase{"UnknownBoard", "hid-arrive nothing\n", 2, "no HID board named 'nothing'"},
        CommandCase{"BoardTwice", "hid-arrive switch\n", 2, "board 'switch' is already plugged in"},
        CommandCase{"RegBadNumber", "reg set X dword 0x100000000\n", 2, "is not a 32-bit number"},
        CommandCase{"CtlList", "ctl list\n", 0,
                    "ctl      bridges: 1\nctl      bridge 0: 8086:a110 bus 00, 2 child(ren)\n"
                    "ctl        child 0: 10de:1c8d bus 01\nctl        child 1: 10de:10f1 bus 01\n"
                    "ctl      STATUS_SUCCESS (0x00000000)\nctl      voxenctl exited with 0"},
        CommandCase{"CtlArmGuard", "ctl arm-guard\nreg show\n", 0, "reg      DCState = dword 0x00080EA2"},
        CommandCase{"CtlAsUser", "ctl-as-user list\n", 0,
                    "run as an administrator\nctl      voxenctl exited with 2"},
        CommandCase{"CtlRaw", "ctl raw 0x8000001C\n", 0,
                    "ctl      returned 0 byte(s)\nctl      STATUS_REQUEST_NOT_ACCEPTED (0xC00000D0)\n"
                    "ctl      voxenctl exited with 1"},
        CommandCase{"Rebalance", "rebalance 01:00.1\n", 0,
                    "pnp      01:00.1 audio: stop\npnp      01:00.1 audio: started again with its new resources"},
        CommandCase{"PagingNeedsStorage", "paging 01:00.0 on\n", 2, "01:00.0 is not a storage device"},
        CommandCase{"PagingBadWord", "paging 01:00.0 maybe\n", 2, "paging takes BUS:DEV.FN on|off"}),
    test::CaseName());

// A disk holding a paging file refuses to stop or go; a vetoed removal is
// reported and the script goes on.
TEST(ScriptCommands, APagingFileKeepsAStorageDeviceInPlace) {
    const char* machine = R"({"bridges": [{"location": "00:1c.0", "secondaryBus": 1, "devices": [
        {"device": 0, "functions": [{"function": 0, "name": "disk", "class": "0x01", "subclass": "0x08", "storage": true}]}]}]})";
    RunResult result = RunScript(machine,
                                 "paging 01:00.0 off\n");
    EXPECT_EQ(result.code, 2) << result.out;
    EXPECT_NE(result.out.find("01:00.0 holds no paging file"), std::string::npos) << result.out;
    result = RunScript(machine, "paging 01:00.0 on\nrebalance 01:00.0\nremove 01:00.0\nshow\npaging 01:00.0 off\nremove 01:00.0\nshow\n");
    ASSERT_EQ(result.code, 0) << result.out;
    for (const char* line : {"paging   01:00.0 holds a paging file",
                             "pnp      01:00.0 disk: stop cancelled",
                             "rebalance 01:00.0 kept running: IRP_MN_QUERY_STOP_DEVICE failed with 0x80000011",
                             "remove   01:00.0 was not removed: IRP_MN_QUERY_REMOVE_DEVICE of 01:00.0 disk failed with "
                             "0x80000011",
                             "01:00.0 disk [10de:1c8d]  power on, D0", "paging   01:00.0 gave up a paging file",
                             "01:00.0 disk [10de:1c8d]  absent"})
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
}

TEST(ScriptCommands, TheBootGuardCanBeFollowedAcrossReboots) {
    RunResult result = RunScript(sim::DefaultMachineJson(),
                           "reg set EnableDC dword 0x07AADE22\nreg set DCState dword 0x00080EA2\nreboot\nshow\n"
                           "reboot\nshow\n");
    ASSERT_EQ(result.code, 0) << result.out;
    size_t second = result.out.find("boot 2 of");
    size_t third = result.out.find("boot 3 of");
    ASSERT_NE(third, std::string::npos);
    EXPECT_EQ(result.out.substr(second, third - second).find("filtering disabled"), std::string::npos)
        << "armed before boot 2";
    EXPECT_NE(result.out.find("filtering disabled for this boot", third), std::string::npos)
        << "boot 2 disarmed it and nobody armed it again";
}

// The trace file, parsed: spans by track, and track names.
struct Timeline {
    struct Span {
        int pid, tid;
        std::string name, cat;
        int64_t begin, end;  // 100-ns units
        nlohmann::json args;
    };
    std::vector<Span> spans;     // complete ("X") events
    std::vector<Span> instants;  // "i" events
    std::map<std::pair<int, int>, std::string> tracks;
    std::map<int, std::string> groups;

    static int64_t Units(double micros) { return std::llround(micros * 10); }

    explicit Timeline(const std::string& path) {
        std::ifstream file(path);
        nlohmann::json root = nlohmann::json::parse(file);  // throws, failing the test, on bad JSON
        for (const nlohmann::json& event : root.at("traceEvents")) {
            std::string phase = event.at("ph");
            if (phase == "M") {
                if (event.at("name") == "thread_name") tracks[{event.at("pid"), event.at("tid")}] = event.at("args").at("name");
                if (event.at("name") == "process_name") groups[event.at("pid")] = event.at("args").at("name");
                continue;
            }
            Span span{event.at("pid"), event.at("tid"), event.at("name"), event.at("cat"), Units(event.at("ts")), 0,
                      event.value("args", nlohmann::json::object())};
            span.end = span.begin + (phase == "X" ? Units(event.at("dur")) : 0);
            (phase == "X" ? spans : instants).push_back(span);
        }
    }
    int Group(const std::string& name) const {
        for (auto& [pid, group] : groups)
            if (group == name) return pid;
        return -1;
    }
    std::vector<const Span*> Named(const std::string& name, int pid = -1) const {
        std::vector<const Span*> found;
        for (const Span& span : spans)
            if (span.name == name && (pid < 0 || span.pid == pid)) found.push_back(&span);
        return found;
    }
    // On every track, two spans are nested or apart, never overlapping.
    std::vector<std::string> Overlaps() const {
        std::map<std::pair<int, int>, std::vector<const Span*>> byTrack;
        for (const Span& span : spans) byTrack[{span.pid, span.tid}].push_back(&span);
        std::vector<std::string> overlaps;
        for (auto& [track, list] : byTrack) {
            std::stable_sort(list.begin(), list.end(), [](const Span* a, const Span* b) {
                return a->begin != b->begin ? a->begin < b->begin : a->end > b->end;
            });
            std::vector<const Span*> open;
            for (const Span* span : list) {
                auto contains = [span](const Span* outer) { return outer->begin <= span->begin && span->end <= outer->end; };
                while (!open.empty() && !contains(open.back()) && open.back()->end <= span->begin) open.pop_back();
                if (!open.empty() && !contains(open.back()))
                    overlaps.push_back(tracks.at(track) + ": " + open.back()->name + " and " + span->name);
                open.push_back(span);
            }
        }
        return overlaps;
    }
};

bool Contains(const Timeline::Span& outer, const Timeline::Span& inner) {
    return outer.pid == inner.pid && outer.tid == inner.tid && outer.begin <= inner.begin && inner.end <= outer.end;
}

TEST(Trace, WritesOneSlicePerDispatchOnATrackPerDevice) {
    std::string path = ::testing::TempDir() + "voxen-trace.json";
    voxen::Trace trace(path);
    RunResult result = RunScript(sim::DefaultMachineJson(), "surprise-remove 01:00.1\n", &trace);
    ASSERT_EQ(result.code, 0) << result.out;
    Timeline timeline(path);
    int devices = timeline.Group("device stacks");
    ASSERT_GT(devices, 0);
    bool removalSeen = false;
    for (const Timeline::Span* span : timeline.Named("IRP_MJ_PNP IRP_MN_SURPRISE_REMOVAL", devices))
        removalSeen |= timeline.tracks.at({span->pid, span->tid}) == "01:00.1 audio | \\Driver\\VoxenPCI";
    EXPECT_TRUE(removalSeen) << "a slice on the track of the audio function's filter";
    bool completionSeen = false;
    for (const Timeline::Span& instant : timeline.instants)
        completionSeen |= instant.name == "complete IRP_MJ_PNP IRP_MN_READ_CONFIG";
    EXPECT_TRUE(completionSeen);
}

// Two bridge power requests (each saving or restoring the bridge's whole
// configuration space), 70 seconds, a reboot and 5 ms more.
TEST(Trace, IsATimelineOfNestedSpansThatContinuesAcrossAReboot) {
    std::string path = ::testing::TempDir() + "voxen-timeline.json";
    voxen::Trace trace(path);
    RunResult result = RunScript(sim::DefaultMachineJson(),
                                 "ctl bridge-power 0 D3\nctl bridge-power 0 D0\nadvance 70s\nreboot\nadvance 5ms\n", &trace);
    ASSERT_EQ(result.code, 0) << result.out;
    Timeline timeline(path);
    EXPECT_EQ(timeline.Overlaps(), std::vector<std::string>{});
    int threads = timeline.Group("threads"), irps = timeline.Group("IRPs");
    ASSERT_GT(threads, 0);
    ASSERT_GT(irps, 0);

    // Every IRP sent while another was being dispatched on the same thread
    // lies inside that IRP's span on the thread's track.
    std::map<std::pair<int, unsigned>, std::vector<const Timeline::Span*>> byIrp;  // (thread track, IRP)
    for (const Timeline::Span& span : timeline.spans)
        if (span.pid == threads && span.cat == "irp") byIrp[{span.tid, span.args["irp"]}].push_back(&span);
    size_t nested = 0;
    for (const Timeline::Span& child : timeline.spans) {
        if (child.pid != threads || !child.args.contains("within")) continue;
        bool inside = false;
        for (const Timeline::Span* parent : byIrp[{child.tid, child.args["within"]}]) inside |= Contains(*parent, child);
        EXPECT_TRUE(inside) << child.name << " #" << child.args["irp"] << " within #" << child.args["within"];
        ++nested;
    }
    EXPECT_GT(nested, 2048u);

    // The save: one request of the control device, 1024 dword reads of 1 us
    // inside it, on the script's thread and in the lane of the request.
    const double access = 1;  // microseconds, the default
    const Timeline::Span* save = nullptr;
    for (const Timeline::Span* span : timeline.Named("IRP_MJ_DEVICE_CONTROL", threads))
        if (span->args["ioctl"] == "0x8000000C" && !save) save = span;
    ASSERT_NE(save, nullptr);
    EXPECT_EQ(timeline.tracks.at({threads, save->tid}), "script");
    std::vector<const Timeline::Span*> reads;
    for (const Timeline::Span* span : timeline.Named("IRP_MJ_PNP IRP_MN_READ_CONFIG", threads))
        if (span->args.value("within", 0u) == save->args["irp"] && span->args["length"] == 4 && Contains(*save, *span))
            reads.push_back(span);
    ASSERT_EQ(reads.size(), 1024u);
    for (const Timeline::Span* read : reads) EXPECT_EQ(read->end - read->begin, Timeline::Units(access));
    EXPECT_GE(save->end - save->begin, 1024 * Timeline::Units(access));
    EXPECT_LT(save->end - save->begin, 1100 * Timeline::Units(access)) << "little else takes time";
    const Timeline::Span* saveIrp = nullptr;
    for (const Timeline::Span* span : timeline.Named("IRP_MJ_DEVICE_CONTROL", irps))
        if (span->args["irp"] == save->args["irp"] && span->args["boot"] == 1) saveIrp = span;
    ASSERT_NE(saveIrp, nullptr);
    size_t inLane = 0;
    for (const Timeline::Span* span : timeline.Named("IRP_MJ_PNP IRP_MN_READ_CONFIG", irps))
        if (span->args.value("within", 0u) == save->args["irp"] && span->args["boot"] == 1) {
            EXPECT_TRUE(Contains(*saveIrp, *span)) << "dispatch to completion, inside the request's";
            ++inLane;
        }
    EXPECT_GE(inLane, 1024u);

    // advance: the command and the script's wait, 70 s each, the second inside the first.
    auto commands = timeline.Named("advance 70s", threads);
    auto waits = timeline.Named("advance", threads);
    ASSERT_EQ(commands.size(), 1u);
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_EQ(commands[0]->end - commands[0]->begin, 70 * sim::kSecond);
    EXPECT_TRUE(Contains(*commands[0], *waits[0]));
    EXPECT_EQ(waits[0]->end - waits[0]->begin, 70 * sim::kSecond);
    EXPECT_EQ(waits[1]->end - waits[1]->begin, 5 * sim::kMillisecond);

    // The second boot goes on from where the first stopped.
    auto first = timeline.Named("boot 1", threads), second = timeline.Named("boot 2", threads);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0]->begin, first[0]->end);
    EXPECT_GE(first[0]->end, commands[0]->end);
    auto reboot = timeline.Named("reboot", threads), after = timeline.Named("advance 5ms", threads);
    ASSERT_EQ(reboot.size(), 1u);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_LE(reboot[0]->begin, first[0]->end);
    EXPECT_GE(reboot[0]->end, second[0]->begin) << "the reboot command spans the shutdown and the boot";
    EXPECT_EQ(after[0]->begin, reboot[0]->end);
    EXPECT_EQ(after[0]->end - after[0]->begin, 5 * sim::kMillisecond);
}

// A poll is a row of 5-ms delays on the thread that polls.
TEST(Trace, ShowsThePollsDelays) {
    std::string path = ::testing::TempDir() + "voxen-poll.json";
    {
        voxen::Trace trace(path);
        test::ResetDriverGlobals();
        sim::MachineSpec spec;
        std::string error;
        ASSERT_TRUE(sim::ParseMachine(sim::DefaultMachineJson(), &spec, &error)) << error;
        sim::Machine machine(spec);
        trace.Attach(machine);
        machine.Boot(DriverEntry);
        machine.Function("01:00.0")->SilentUntil(42 * sim::kMillisecond);
        ULONG d0 = PowerDeviceD0;
        EXPECT_EQ(test::FilterOf(machine, "01:00.0")->SetDevicePower(&d0), STATUS_SUCCESS);
        EXPECT_TRUE(machine.Shutdown().empty());
        trace.Detach();
        ASSERT_TRUE(trace.Write());
    }
    Timeline timeline(path);
    auto delays = timeline.Named("KeDelayExecutionThread");
    ASSERT_GE(delays.size(), 9u);
    for (const Timeline::Span* delay : delays) {
        EXPECT_EQ(timeline.tracks.at({delay->pid, delay->tid}), "script");
        EXPECT_EQ(delay->end - delay->begin, 5 * sim::kMillisecond);
        EXPECT_EQ(delay->args["ended"], "STATUS_TIMEOUT");
    }
    EXPECT_EQ(timeline.Overlaps(), std::vector<std::string>{});
}

TEST(Trace, IsWrittenWhenTheScriptFails) {
    std::string path = ::testing::TempDir() + "voxen-failed.json";
    voxen::Trace trace(path);
    RunResult result = RunScript(sim::DefaultMachineJson(), "advance 5ms\nfly away\n", &trace);
    ASSERT_EQ(result.code, voxen::kScriptError) << result.out;
    Timeline timeline(path);
    EXPECT_EQ(timeline.Named("advance 5ms").size(), 1u);
    EXPECT_EQ(timeline.Named("fly away").size(), 1u) << "the command that failed";
}

TEST(TraceDeathTest, IsWrittenWhenTheKernelStopsTheMachine) {
    std::string path = ::testing::TempDir() + "voxen-stopped.json";
    std::remove(path.c_str());
    EXPECT_EXIT(
        {
            voxen::Trace trace(path);
            RunScript(sim::DefaultMachineJson(), "advance 5ms\n", &trace);
            test::ResetDriverGlobals();
            sim::Machine machine(sim::MachineSpec{});
            trace.Attach(machine);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER step;
            step.QuadPart = -10;
            KeDelayExecutionThread(KernelMode, FALSE, &step);  // may not wait at DISPATCH_LEVEL
        },
        ::testing::ExitedWithCode(sim::kViolationExitCode), "IRQL");
    Timeline timeline(path);
    EXPECT_EQ(timeline.Named("advance 5ms").size(), 1u);
    auto boots = timeline.Named("boot 2");
    ASSERT_EQ(boots.size(), 1u);
    EXPECT_EQ(boots[0]->args["unfinished"], true) << "the machine that stopped";
}

// Names and script lines reach the file as JSON strings, whatever they hold.
struct EscapeCase {
    const char* name;
    std::string text;
    std::string decoded;  // what a JSON reader makes of it
};

class TraceStrings : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(TraceStrings, AreValidJson) {
    std::string written = voxen::JsonString(GetParam().text);
    for (char c : written) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << "no raw control character";
    EXPECT_EQ(nlohmann::json::parse(written).get<std::string>(), GetParam().decoded) << written;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TraceStrings,
    ::testing::Values(EscapeCase{"Plain", "01:00.1 audio", "01:00.1 audio"},
                      EscapeCase{"QuoteAndBackslash", "say \"\\Driver\\pci\"", "say \"\\Driver\\pci\""},
                      EscapeCase{"ControlCharacters", std::string("a\nb\tc\r\x01\x1f", 8), std::string("a\nb\tc\r\x01\x1f", 8)},
                      EscapeCase{"Nul", std::string("a\0b", 3), std::string("a\0b", 3)},
                      EscapeCase{"Delete", "\x7f", "\x7f"},
                      EscapeCase{"Utf8Kept", "caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x94\x8c", "caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x94\x8c"},
                      EscapeCase{"LoneLeadByte", "a\xc3", "a\xef\xbf\xbd"},
                      EscapeCase{"Overlong", "\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
                      EscapeCase{"Surrogate", "\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"}),
    test::CaseName());

TEST(Trace, EscapesWhatAScriptLineHolds) {
    std::string path = ::testing::TempDir() + "voxen-escaped.json";
    voxen::Trace trace(path);
    std::string line = "reg set Note sz a\"b\\c\x01\x02 d\xff";
    RunResult result = RunScript(sim::DefaultMachineJson(), line + "\n", &trace);
    ASSERT_EQ(result.code, 0) << result.out;
    Timeline timeline(path);
    EXPECT_EQ(timeline.Named("reg set Note sz a\"b\\c\x01\x02 d\xef\xbf\xbd").size(), 1u);
}

}  // namespace

namespace {

// The tour a person sees first: the graphics device switched off and on
// through the control protocol, its registers the same after as before.
TEST(DefaultScenario, ShowsTheWholePowerCycle) {
    RunResult result = RunScript(sim::DefaultMachineJson(), voxen::Session::DefaultScript());
    ASSERT_EQ(result.code, 0) << result.out;
    const std::string& out = result.out;
    auto at = [&](const std::string& text, size_t from = 0) {
        size_t found = out.find(text, from);
        EXPECT_NE(found, std::string::npos) << "missing: " << text;
        return found;
    };
    size_t firstShow = at("> show");
    size_t registersBefore = at("changed registers:", firstShow);
    std::string before = out.substr(registersBefore, out.find('\n', registersBefore) - registersBefore);
    size_t cut = at("01:00.0 display: power cut", registersBefore);
    at("01:00.1 audio: power cut", registersBefore);
    at("registers: none readable", cut);
    size_t refused = at("bus relations refused with STATUS_RETRY", cut);
    size_t restored = at("01:00.0 display: power restored", refused);
    size_t lastShow = at("> show", restored);
    size_t registersAfter = at("changed registers:", lastShow);
    EXPECT_EQ(out.substr(registersAfter, out.find('\n', registersAfter) - registersAfter), before);
    size_t unknown = at("STATUS_INVALID_PARAMETER (0xC000000D)", lastShow);
    size_t advance = at("> advance 70s", unknown);
    at("00:1c.0 PCI Express root port: asked for its bus relations", advance);
    EXPECT_EQ(out.find("removal", firstShow), out.find("removal", at("> ctl-as-user list"))) << "no removal before shutdown";
}

}  // namespace
