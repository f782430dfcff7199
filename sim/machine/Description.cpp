#include "sim/machine/Description.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <map>
#include <set>

#include "sim/kernel/Violation.h"

namespace sim {

namespace {

using Json = nlohmann::json;

struct Mistake {
    std::string where;
    std::string what;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) { throw Mistake{where, what}; }

std::string At(const std::string& where, const std::string& key) { return where.empty() ? key : where + "." + key; }
std::string At(const std::string& where, size_t index) { return where + "[" + std::to_string(index) + "]"; }

// A number, written as a JSON number or as a string ("0x10de", "16").
uint64_t Number(const Json& value, const std::string& where, uint64_t maximum) {
    uint64_t number = 0;
    if (value.is_number_unsigned()) {
        number = value.get<uint64_t>();
    } else if (value.is_string()) {
        const std::string text = value.get<std::string>();
        size_t used = 0;
        // 0x for hexadecimal; otherwise decimal, leading zeros and all (never octal).
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        try {
            number = std::stoull(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
            if (hex) used += 2;
        } catch (...) {
            used = 0;
        }
        if (text.empty() || used != text.size() || text[0] == '-') Fail(where, "'" + text + "' is not a number");
    } else {
        Fail(where, "expected a number");
    }
    if (number > maximum) Fail(where, Format("%llu is larger than %llu", static_cast<unsigned long long>(number),
                                             static_cast<unsigned long long>(maximum)));
    return number;
}

bool Flag(const Json& value, const std::string& where) {
    if (!value.is_boolean()) Fail(where, "expected true or false");
    return value.get<bool>();
}

std::string Text(const Json& value, const std::string& where) {
    if (!value.is_string()) Fail(where, "expected a string");
    return value.get<std::string>();
}

// Rejects keys the description does not know, so a misspelt field is not silently ignored.
void OnlyKeys(const Json& object, const std::string& where, std::initializer_list<const char*> known) {
    if (!object.is_object()) Fail(where, "expected an object");
    std::set<std::string> allowed(known.begin(), known.end());
    for (auto& [key, value] : object.items()) {
        (void)value;
        if (!allowed.count(key)) Fail(At(where, key), "is not a field here");
    }
}

const Json* Find(const Json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const Json& Need(const Json& object, const char* key, const std::string& where) {
    const Json* value = Find(object, key);
    if (!value) Fail(At(where, key), "is missing");
    return *value;
}

int64_t Duration(const Json& value, const std::string& where) {
    if (value.is_string() && value.get<std::string>() == "never") return -1;
    int64_t duration = 0;
    if (!value.is_string() || !ParseDuration(value.get<std::string>(), &duration))
        Fail(where, "expected a duration such as \"20ms\" or \"2s\" (at most 1000000s), or \"never\"");
    return duration;
}

constexpr size_t kMaxCapabilities = (0xF0 - 0x40) / 0x10 + 1;

// The fields a bridge and a function share.
void ReadIdentity(const Json& object, const std::string& where, PciFunctionSpec* spec) {
    if (const Json* v = Find(object, "name")) spec->name = Text(*v, At(where, "name"));
    if (const Json* v = Find(object, "vendorId")) spec->vendorId = static_cast<uint16_t>(Number(*v, At(where, "vendorId"), 0xFFFF));
    if (const Json* v = Find(object, "deviceId")) spec->deviceId = static_cast<uint16_t>(Number(*v, At(where, "deviceId"), 0xFFFF));
    if (const Json* v = Find(object, "class")) spec->baseClass = static_cast<uint8_t>(Number(*v, At(where, "class"), 0xFF));
    if (const Json* v = Find(object, "subclass")) spec->subClass = static_cast<uint8_t>(Number(*v, At(where, "subclass"), 0xFF));
    if (const Json* v = Find(object, "pciExpress")) spec->pciExpress = Flag(*v, At(where, "pciExpress"));
    if (const Json* v = Find(object, "capabilities")) {
        if (!v->is_array()) Fail(At(where, "capabilities"), "expected a list of capability IDs");
        spec->capabilities.clear();
        for (size_t i = 0; i < v->size(); ++i) {
            std::string at = At(At(where, "capabilities"), i);
            uint8_t id = static_cast<uint8_t>(Number((*v)[i], at, 0xFF));
            if (id == 0x10) Fail(at, "0x10 is the PCI Express capability: say \"pciExpress\": true instead");
            spec->capabilities.push_back(id);
        }
    }
    // Each capability takes 16 bytes from 0x40: the last must start below 0x100.
    size_t count = spec->capabilities.size() + (spec->pciExpress ? 1 : 0);
    if (count > kMaxCapabilities)
        Fail(At(where, "capabilities"), Format("%zu capabilities do not fit in the configuration header (at most %zu%s)",
                                               count, kMaxCapabilities, spec->pciExpress ? ", the PCI Express one included" : ""));
}

PciLocation Location(const Json& value, const std::string& where) {
    std::string text = Text(value, where);
    PciLocation location;
    if (!ParseLocation(text, &location))
        Fail(where, "'" + text + "' is not a PCI location (BUS:DEV.FN in hexadecimal, as lspci writes it)");
    return location;
}

class Reader {
public:
    explicit Reader(MachineSpec* spec) : spec_(spec) {}

    void Machine(const Json& root) {
        OnlyKeys(root, "", {"name", "seed", "scheduler", "safeMode", "windowsVersion", "configAccessTime", "registry",
                            "bridges", "serial", "hidBoards"});
        if (const Json* v = Find(root, "name")) spec_->name = Text(*v, "name");
        if (const Json* v = Find(root, "seed")) spec_->seed = Number(*v, "seed", UINT64_MAX);
        if (const Json* v = Find(root, "scheduler")) spec_->scheduler = Scheduling(*v, "scheduler");
        if (const Json* v = Find(root, "safeMode")) spec_->safeMode = SafeMode(*v, "safeMode");
        if (const Json* v = Find(root, "windowsVersion")) spec_->windowsVersion = Version(*v, "windowsVersion");
        if (const Json* v = Find(root, "configAccessTime")) {
            int64_t time = Duration(*v, "configAccessTime");
            if (time < 0 || time > kSecond) Fail("configAccessTime", "expected a duration from \"0us\" to \"1s\"");
            spec_->configAccessTime = time;
        }
        if (const Json* v = Find(root, "registry")) Registry(*v, "registry");
        if (const Json* v = Find(root, "bridges")) Bridges(*v, "bridges", 0);
        if (const Json* v = Find(root, "serial")) Serial(*v, "serial");
        if (const Json* v = Find(root, "hidBoards")) Boards(*v, "hidBoards");
        CheckSwitches();
    }

private:
    static SchedulerMode Scheduling(const Json& value, const std::string& where) {
        std::string name = value.is_string() ? value.get<std::string>() : std::string();
        if (name == "cooperative") return SchedulerMode::Cooperative;
        if (name == "parallel") return SchedulerMode::Parallel;
        Fail(where, "expected \"cooperative\" or \"parallel\"");
    }

    // true (minimal), false, or the number InitSafeBootMode holds: 0 to 3.
    static ULONG SafeMode(const Json& value, const std::string& where) {
        if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
        if (!value.is_number_unsigned() && !value.is_string())
            Fail(where, "expected true, false, or 0 to 3 (1 minimal, 2 with networking, 3 directory repair)");
        return static_cast<ULONG>(Number(value, where, 3));
    }

    static WindowsVersion Version(const Json& value, const std::string& where) {
        static const struct {
            const char* text;
            ULONG major, minor, build;
        } known[] = {{"6.1", 6, 1, 7601}, {"6.2", 6, 2, 9200}, {"6.3", 6, 3, 9600}, {"10.0", 10, 0, 19045}};
        std::string text = Text(value, where);
        for (const auto& version : known)
            if (text == version.text) return WindowsVersion{version.major, version.minor, version.build};
        Fail(where, "'" + text + "' is not a Windows version this driver supports: \"6.1\" (7), \"6.2\" (8), "
                    "\"6.3\" (8.1) or \"10.0\" (10 and 11)");
    }

    // Which of the function's drivers complete its IRPs from a DPC: "bus", "function".
    static void CompletesFromDpc(const Json& value, const std::string& where, PciFunctionSpec* spec) {
        if (!value.is_array()) Fail(where, "expected a list of \"bus\" and \"function\"");
        for (size_t i = 0; i < value.size(); ++i) {
            std::string driver = Text(value[i], At(where, i));
            if (driver == "bus") spec->busDriverCompletesFromDpc = true;
            else if (driver == "function") spec->functionDriverCompletesFromDpc = true;
            else Fail(At(where, i), "expected \"bus\" or \"function\"");
        }
    }

    void Registry(const Json& values, const std::string& where) {
        if (!values.is_object()) Fail(where, "expected an object of values by name");
        for (auto& [name, value] : values.items()) {
            std::string at = At(where, name);
            OnlyKeys(value, at, {"type", "value"});
            RegistryValueSpec spec;
            spec.name = ToWide(name);
            std::string type = Text(Need(value, "type", at), At(at, "type"));
            const Json& data = Need(value, "value", at);
            if (type == "dword") {
                spec.type = REG_DWORD;
                spec.dword = static_cast<ULONG>(Number(data, At(at, "value"), 0xFFFFFFFF));
            } else if (type == "sz") {
                spec.type = REG_SZ;
                spec.text = ToWide(Text(data, At(at, "value")));
            } else {
                Fail(At(at, "type"), "expected \"dword\" or \"sz\"");
            }
            spec_->registry.push_back(spec);
        }
    }

    void Bridges(const Json& list, const std::string& where, int parentBus) {
        if (!list.is_array()) Fail(where, "expected a list of bridges");
        for (size_t i = 0; i < list.size(); ++i) Bridge(list[i], At(where, i), parentBus);
    }

    void Bridge(const Json& object, const std::string& where, int parentBus) {
        OnlyKeys(object, where, {"name", "location", "secondaryBus", "vendorId", "deviceId", "class", "subclass",
                                 "pciExpress", "capabilities", "dsm", "pageable", "completesFromDpc", "bridges",
                                 "devices"});
        PciFunctionSpec spec = RootPort("00:00.0", 0);
        spec.location = Location(Need(object, "location", where), At(where, "location"));
        if (spec.location.bus != parentBus)
            Fail(At(where, "location"), Format("is on bus %02x, but the bridge above it leads to bus %02x",
                                               spec.location.bus, parentBus));
        spec.secondaryBus = static_cast<uint8_t>(Number(Need(object, "secondaryBus", where), At(where, "secondaryBus"), 0xFF));
        if (spec.secondaryBus <= spec.location.bus) Fail(At(where, "secondaryBus"), "must be above the bridge's own bus");
        auto taken = secondaryBuses_.find(spec.secondaryBus);
        if (taken != secondaryBuses_.end())
            Fail(At(where, "secondaryBus"), Format("bus %02x is already behind the bridge at %s", spec.secondaryBus,
                                                   taken->second.c_str()));
        secondaryBuses_[spec.secondaryBus] = spec.location.Text();
        ReadIdentity(object, where, &spec);
        if (const Json* v = Find(object, "pageable")) spec.pageable = Flag(*v, At(where, "pageable"));
        if (const Json* v = Find(object, "completesFromDpc")) CompletesFromDpc(*v, At(where, "completesFromDpc"), &spec);
        if (const Json* v = Find(object, "dsm")) Dsm(*v, At(where, "dsm"), &spec.dsm);
        Add(spec, where);
        if (const Json* v = Find(object, "bridges")) Bridges(*v, At(where, "bridges"), spec.secondaryBus);
        if (const Json* v = Find(object, "devices")) Devices(*v, At(where, "devices"), spec.secondaryBus);
    }

    void Dsm(const Json& object, const std::string& where, DsmSpec* dsm) {
        OnlyKeys(object, where, {"uuid", "functions", "resultType", "resultLength", "count", "status"});
        dsm->present = true;
        if (const Json* v = Find(object, "uuid")) {
            dsm->uuid = Text(*v, At(where, "uuid"));
            GUID parsed;
            if (!ParseGuid(dsm->uuid, &parsed)) Fail(At(where, "uuid"), "'" + dsm->uuid + "' is not a UUID");
        }
        if (const Json* v = Find(object, "resultLength"))
            dsm->resultLength = static_cast<uint32_t>(Number(*v, At(where, "resultLength"), 14));
        if (const Json* v = Find(object, "count")) dsm->count = static_cast<uint32_t>(Number(*v, At(where, "count"), 0xFFFFFFFF));
        if (const Json* v = Find(object, "status"))
            dsm->status = static_cast<NTSTATUS>(Number(*v, At(where, "status"), 0xFFFFFFFF));
        if (const Json* v = Find(object, "functions")) dsm->functions = static_cast<uint32_t>(Number(*v, At(where, "functions"), 0xFFFFFFFF));
        if (const Json* v = Find(object, "resultType")) {
            dsm->resultType = Text(*v, At(where, "resultType"));
            if (dsm->resultType != "integer" && dsm->resultType != "buffer" && dsm->resultType != "string")
                Fail(At(where, "resultType"), "expected \"integer\", \"buffer\" or \"string\"");
        }
    }

    void Devices(const Json& list, const std::string& where, uint8_t bus) {
        if (!list.is_array()) Fail(where, "expected a list of devices");
        for (size_t i = 0; i < list.size(); ++i) {
            std::string at = At(where, i);
            const Json& device = list[i];
            OnlyKeys(device, at, {"name", "device", "power", "functions"});
            uint16_t number = static_cast<uint16_t>(Number(Need(device, "device", at), At(at, "device"), 31));
            std::string powerSwitch;
            int64_t answersAfter = 0;
            int64_t retryFor = 0;
            if (const Json* power = Find(device, "power")) {
                std::string pat = At(at, "power");
                OnlyKeys(*power, pat, {"switch", "answersAfter", "retryFor"});
                if (const Json* v = Find(*power, "switch")) powerSwitch = Text(*v, At(pat, "switch"));
                if (powerSwitch != "" && powerSwitch != "dsm" && powerSwitch != "serial" && powerSwitch.rfind("hid:", 0) != 0)
                    Fail(At(pat, "switch"), "expected \"dsm\", \"serial\" or \"hid:BOARD\"");
                if (const Json* v = Find(*power, "answersAfter")) answersAfter = Duration(*v, At(pat, "answersAfter"));
                if (const Json* v = Find(*power, "retryFor")) {
                    retryFor = Duration(*v, At(pat, "retryFor"));
                    if (retryFor < 0) Fail(At(pat, "retryFor"), "a device that never stops asking for retries never answers: use \"answersAfter\": \"never\"");
                }
            }
            const Json& functions = Need(device, "functions", at);
            if (!functions.is_array() || functions.empty()) Fail(At(at, "functions"), "expected a list of one or more functions");
            for (size_t f = 0; f < functions.size(); ++f) {
                std::string fat = At(At(at, "functions"), f);
                const Json& object = functions[f];
                OnlyKeys(object, fat, {"function", "name", "vendorId", "deviceId", "class", "subclass", "pciExpress",
                                       "capabilities", "pageable", "completesFromDpc", "storage"});
                PciFunctionSpec spec = Endpoint("00:00.0", "function", 0x03);
                spec.location.bus = bus;
                spec.location.device = number;
                spec.location.function = static_cast<uint16_t>(Number(Need(object, "function", fat), At(fat, "function"), 7));
                ReadIdentity(object, fat, &spec);
                if (const Json* v = Find(object, "pageable")) spec.pageable = Flag(*v, At(fat, "pageable"));
                if (const Json* v = Find(object, "completesFromDpc"))
                    CompletesFromDpc(*v, At(fat, "completesFromDpc"), &spec);
                if (const Json* v = Find(object, "storage")) spec.storage = Flag(*v, At(fat, "storage"));
                spec.powerSwitch = powerSwitch;
                spec.answersAfter = answersAfter;
                spec.retryFor = retryFor;
                Add(spec, fat);
            }
        }
    }

    void Serial(const Json& object, const std::string& where) {
        OnlyKeys(object, where, {"powers", "powerOnWhen"});
        spec_->serial.present = true;
        if (const Json* v = Find(object, "powers")) spec_->serial.powers = Slot(*v, At(where, "powers"));
        if (const Json* v = Find(object, "powerOnWhen")) {
            std::string when = Text(*v, At(where, "powerOnWhen"));
            if (when != "rts-set" && when != "rts-clear") Fail(At(where, "powerOnWhen"), "expected \"rts-set\" or \"rts-clear\"");
            spec_->serial.onWhenSet = when == "rts-set";
        }
    }

    void Boards(const Json& list, const std::string& where) {
        if (!list.is_array()) Fail(where, "expected a list of boards");
        for (size_t i = 0; i < list.size(); ++i) {
            std::string at = At(where, i);
            const Json& object = list[i];
            OnlyKeys(object, at, {"name", "vendorId", "productId", "outputReportLength", "powers", "arrives"});
            HidBoardSpec board;
            board.name = Text(Need(object, "name", at), At(at, "name"));
            for (const HidBoardSpec& other : spec_->boards)
                if (other.name == board.name) Fail(At(at, "name"), "two boards are named '" + board.name + "'");
            if (const Json* v = Find(object, "vendorId")) board.vendorId = static_cast<uint16_t>(Number(*v, At(at, "vendorId"), 0xFFFF));
            if (const Json* v = Find(object, "productId")) board.productId = static_cast<uint16_t>(Number(*v, At(at, "productId"), 0xFFFF));
            if (const Json* v = Find(object, "outputReportLength"))
                board.outputReportLength = static_cast<uint16_t>(Number(*v, At(at, "outputReportLength"), 0xFFFF));
            if (const Json* v = Find(object, "powers")) board.powers = Slot(*v, At(at, "powers"));
            if (const Json* v = Find(object, "arrives")) {
                std::string arrives = Text(*v, At(at, "arrives"));
                if (arrives != "boot" && arrives != "script") Fail(At(at, "arrives"), "expected \"boot\" or \"script\"");
                board.presentAtBoot = arrives == "boot";
            }
            spec_->boards.push_back(board);
        }
    }

    // "BUS:DEV": a device, all its functions.
    std::string Slot(const Json& value, const std::string& where) {
        std::string text = Text(value, where);
        unsigned bus = 0, device = 0;
        char tail = 0;
        if (std::sscanf(text.c_str(), "%x:%x%c", &bus, &device, &tail) != 2 || bus > 0xFF || device > 31)
            Fail(where, "'" + text + "' is not a device (BUS:DEV in hexadecimal)");
        return Format("%02x:%02x", bus, device);
    }

    void Add(const PciFunctionSpec& spec, const std::string& where) {
        for (const PciFunctionSpec& other : spec_->functions)
            if (other.location.Text() == spec.location.Text())
                Fail(where, "a second function at " + spec.location.Text());
        spec_->functions.push_back(spec);
    }

    void CheckSwitches() {
        for (const PciFunctionSpec& function : spec_->functions) {
            if (function.powerSwitch.rfind("hid:", 0) != 0) continue;
            std::string board = function.powerSwitch.substr(4);
            bool found = false;
            for (const HidBoardSpec& candidate : spec_->boards) found |= candidate.name == board;
            if (!found) Fail("bridges", function.location.Text() + " sits behind board '" + board + "', which hidBoards does not list");
        }
    }

    MachineSpec* spec_;
    std::map<int, std::string> secondaryBuses_;  // each bus behind one bridge only
};

}  // namespace

bool ParseDuration(const std::string& text, int64_t* duration) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits == 0 || digits > 12) return false;
    int64_t value = std::stoll(text.substr(0, digits));
    std::string unit = text.substr(digits);
    int64_t scale = 0;
    if (unit == "us") scale = 10;
    else if (unit == "ms") scale = 10'000;
    else if (unit == "s") scale = 10'000'000;
    else return false;
    constexpr int64_t kLongest = 1'000'000 * 10'000'000LL;  // a million seconds, past any scenario
    if (value > kLongest / scale) return false;
    *duration = value * scale;
    return true;
}

bool ParseMachine(const std::string& json, MachineSpec* spec, std::string* error) {
    Json root;
    try {
        root = Json::parse(json);
    } catch (const Json::parse_error& e) {
        *error = std::string("not JSON: ") + e.what();
        return false;
    }
    MachineSpec parsed;
    try {
        Reader(&parsed).Machine(root);
    } catch (const Mistake& mistake) {
        *error = (mistake.where.empty() ? std::string("the description") : mistake.where) + ": " + mistake.what;
        return false;
    }
    *spec = std::move(parsed);
    return true;
}

const char* DefaultMachineJson() {
    return R"({
  "name": "laptop with a switchable graphics device",
  "bridges": [
    {
      "name": "PCI Express root port",
      "location": "00:1c.0",
      "secondaryBus": "0x01",
      "vendorId": "0x8086",
      "deviceId": "0xa110",
      "dsm": { "uuid": "906E5706-ABA3-42F6-B454-B662DF563FEF", "functions": "0x0f", "resultType": "integer" },
      "devices": [
        {
          "name": "graphics",
          "device": 0,
          "power": { "switch": "dsm", "answersAfter": "20ms" },
          "functions": [
            { "function": 0, "name": "display", "vendorId": "0x10de", "deviceId": "0x1c8d", "class": "0x03", "subclass": "0x00" },
            { "function": 1, "name": "audio", "vendorId": "0x10de", "deviceId": "0x10f1", "class": "0x04", "subclass": "0x03" }
          ]
        }
      ]
    }
  ],
  "serial": { "powers": "01:00", "powerOnWhen": "rts-clear" },
  "hidBoards": [
    { "name": "switch", "vendorId": "0x2047", "productId": "0x0317", "outputReportLength": 64, "powers": "01:00", "arrives": "boot" }
  ]
})";
}

}  // namespace sim
