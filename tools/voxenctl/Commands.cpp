#include "tools/voxenctl/Commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/Protocol.h"

namespace voxenctl {

namespace {

struct StatusName {
    uint32_t status;
    const char* name;
};

// What the driver answers with, and what the system says on its behalf.
constexpr StatusName kStatusNames[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000103, "STATUS_PENDING"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000038, "STATUS_DEVICE_ALREADY_ATTACHED"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC00000D0, "STATUS_REQUEST_NOT_ACCEPTED"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC000022D, "STATUS_RETRY"},
    {0xC0000225, "STATUS_NOT_FOUND"},
    {0xC0140019, "STATUS_ACPI_INVALID_TABLE"},
};

bool Succeeded(uint32_t status) { return status < 0x80000000u; }

// Lower case for IDs and bytes, as lspci writes them; upper case for statuses.
std::string Hex(uint32_t value, int digits, bool upper = false) {
    char text[16];
    std::snprintf(text, sizeof text, upper ? "%0*X" : "%0*x", digits, value);
    return text;
}

// A number as a person writes one: decimal, or hexadecimal after 0x.
bool ParseNumber(const std::string& text, uint32_t* value, int base = 0) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
    if (*end != '\0' || parsed > 0xFFFFFFFFull) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

// D0 to D3, or the protocol's number for a state.
bool ParseState(const std::string& text, uint32_t* state) {
    if (text.size() == 2 && (text[0] == 'D' || text[0] == 'd') && text[1] >= '0' && text[1] <= '3') {
        *state = static_cast<uint32_t>(text[1] - '0') + 1;
        return true;
    }
    return ParseNumber(text, state);
}

// BUS:DEV.FN in hexadecimal, as lspci writes it.
bool ParseLocation(const std::string& text, uint32_t* bus, uint32_t* device, uint32_t* function) {
    size_t colon = text.find(':');
    size_t dot = text.find('.', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || dot == std::string::npos) return false;
    return ParseNumber(text.substr(0, colon), bus, 16) && *bus <= 0xFF &&
           ParseNumber(text.substr(colon + 1, dot - colon - 1), device, 16) && *device <= 31 &&
           ParseNumber(text.substr(dot + 1), function, 16) && *function <= 7;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != ':' && c != '-') digits += c;
    if (digits.size() % 2 != 0) return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        uint32_t value = 0;
        if (!ParseNumber(digits.substr(i, 2), &value, 16)) return false;
        bytes->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

std::vector<uint8_t> Dwords(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> bytes;
    for (uint32_t value : values)
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return bytes;
}

uint32_t Word(const std::vector<uint8_t>& bytes, size_t at) { return bytes[at] | bytes[at + 1] << 8; }
uint32_t Dword(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) text += (i ? " " : "") + Hex(bytes[i], 2);
    return text;
}

const char* const kUsageText =
    "usage: voxenctl COMMAND [ARGUMENTS]\n"
    "  status                                 open the control device\n"
    "  list [--json]                          every bridge and its children\n"
    "  bridge-power INDEX STATE               save or restore a bridge and set its power state (D0..D3)\n"
    "  bridge-query INDEX STATE               ask the bridge's stack whether it could enter a state\n"
    "  child-power BUS:DEV.FN STATE --irp | --platform [--method auto|rts-low-on|rts-high-on|N]\n"
    "                                         set a child device's power, by power IRPs or the platform switch\n"
    "  arm-guard                              let the next boot filter (the boot guard)\n"
    "  raw CODE [--in HEX] [--out-len N] [--json]\n"
    "                                         any request code, for diagnosis\n";

class Command {
public:
    Command(Channel& channel, std::string* out, std::string* err) : channel_(channel), out_(*out), err_(*err) {}

    int Usage(const std::string& problem) {
        err_ += "voxenctl: " + problem + "; run voxenctl --help for the commands\n";
        return kUsage;
    }

    // Opens the control device, or says what to do and gives the exit code.
    bool Open(int* exitCode) {
        std::string detail;
        switch (channel_.Open(&detail)) {
        case Channel::OpenResult::Opened: return true;
        case Channel::OpenResult::AccessDenied:
            err_ += "voxenctl: access to the VoxenPCI control device was denied (" + detail +
                    "); run as an administrator\n";
            break;
        case Channel::OpenResult::NotFound:
            err_ += "voxenctl: no VoxenPCI control device (" + detail +
                    "); is voxenpci loaded? see sc query voxenpci\n";
            break;
        case Channel::OpenResult::Failed:
            err_ += "voxenctl: the VoxenPCI control device could not be opened (" + detail +
                    "); is voxenpci loaded? see sc query voxenpci\n";
            break;
        }
        *exitCode = kUsage;
        return false;
    }

    Channel::Reply Send(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) {
        return channel_.Control(code, input, outputLength);
    }

    // The final line of every request, and the exit code it gives.
    int Finish(uint32_t status) {
        out_ += StatusText(status) + "\n";
        return Succeeded(status) ? kSucceeded : kRefused;
    }

    int List(bool json) {
        Channel::Reply count = Send(IOCTL_GET_BRIDGE_COUNT, {}, 4);
        if (!Succeeded(count.status) || count.bytes.size() != 4) return Failed(count.status, json);
        uint32_t bridges = Dword(count.bytes, 0);
        std::string text = "bridges: " + std::to_string(bridges) + "\n";
        std::string objects;
        for (uint32_t index = 0; index < bridges; ++index) {
            Channel::Reply info = Send(IOCTL_GET_BRIDGE_INFO, Dwords({index}), 20);
            if (!Succeeded(info.status) || info.bytes.size() != 20) return Failed(info.status, json);
            uint32_t children = Dword(info.bytes, 16);
            text += "bridge " + std::to_string(index) + ": " + Hex(Word(info.bytes, 0), 4) + ":" +
                    Hex(Word(info.bytes, 2), 4) + " bus " + Hex(Dword(info.bytes, 4), 2) + ", " +
                    std::to_string(children) + " child(ren)\n";
            std::string childObjects;
            for (uint32_t child = 0; child < children; ++child) {
                Channel::Reply about = Send(IOCTL_GET_CHILD_INFO, Dwords({index, child}), 6);
                if (!Succeeded(about.status) || about.bytes.size() != 6) return Failed(about.status, json);
                text += "  child " + std::to_string(child) + ": " + Hex(Word(about.bytes, 0), 4) + ":" +
                        Hex(Word(about.bytes, 2), 4) + " bus " + Hex(about.bytes[4], 2) + "\n";
                childObjects += std::string(child ? "," : "") + "{\"index\":" + std::to_string(child) +
                                ",\"vendorId\":\"" + Hex(Word(about.bytes, 0), 4) + "\",\"deviceId\":\"" +
                                Hex(Word(about.bytes, 2), 4) + "\",\"bus\":" + std::to_string(about.bytes[4]) + "}";
            }
            objects += std::string(index ? "," : "") + "{\"index\":" + std::to_string(index) + ",\"vendorId\":\"" +
                       Hex(Word(info.bytes, 0), 4) + "\",\"deviceId\":\"" + Hex(Word(info.bytes, 2), 4) +
                       "\",\"bus\":" + std::to_string(Dword(info.bytes, 4)) + ",\"children\":[" + childObjects + "]}";
        }
        if (json) {
            out_ += "{\"bridges\":[" + objects + "]," + StatusJson(0) + "}\n";
            return kSucceeded;
        }
        out_ += text;
        return Finish(0);
    }

    int Raw(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength, bool json) {
        Channel::Reply reply = Send(code, input, outputLength);
        if (json) {
            out_ += "{\"code\":\"0x" + Hex(code, 8, true) + "\",\"returned\":" + std::to_string(reply.bytes.size()) +
                    ",\"bytes\":\"" + HexBytes(reply.bytes) + "\"," + StatusJson(reply.status) + "}\n";
            return Succeeded(reply.status) ? kSucceeded : kRefused;
        }
        out_ += "returned " + std::to_string(reply.bytes.size()) + " byte(s)" +
                (reply.bytes.empty() ? std::string() : ": " + HexBytes(reply.bytes)) + "\n";
        return Finish(reply.status);
    }

private:
    std::string StatusJson(uint32_t status) {
        std::string text = StatusText(status);
        std::string name = text.substr(0, text.find(' '));
        return "\"status\":\"" + name + "\",\"statusCode\":\"0x" + Hex(status, 8, true) + "\"";
    }

    int Failed(uint32_t status, bool json) {
        if (json) {
            out_ += "{" + StatusJson(status) + "}\n";
            return kRefused;
        }
        return Finish(Succeeded(status) ? 0xC0000001u : status);
    }

    Channel& channel_;
    std::string& out_;
    std::string& err_;
};

// Takes `--name` (and its value, when `value` is given) out of `args`.
bool TakeFlag(std::vector<std::string>* args, const std::string& name) {
    for (auto it = args->begin(); it != args->end(); ++it)
        if (*it == name) {
            args->erase(it);
            return true;
        }
    return false;
}
bool TakeOption(std::vector<std::string>* args, const std::string& name, std::string* value, bool* missing) {
    for (auto it = args->begin(); it != args->end(); ++it)
        if (*it == name) {
            if (it + 1 == args->end()) {
                *missing = true;
                args->erase(it);
                return false;
            }
            *value = *(it + 1);
            args->erase(it, it + 2);
            return true;
        }
    return false;
}

bool ParseMethod(const std::string& text, uint32_t* method) {
    if (text == "auto") *method = 0;
    else if (text == "rts-low-on") *method = 1;
    else if (text == "rts-high-on") *method = 2;
    else return ParseNumber(text, method);
    return true;
}

}  // namespace

std::string StatusText(uint32_t status) {
    for (const StatusName& known : kStatusNames)
        if (known.status == status) return std::string(known.name) + " (0x" + Hex(status, 8, true) + ")";
    return "0x" + Hex(status, 8, true);
}

int Run(const std::vector<std::string>& arguments, Channel& channel, std::string* out, std::string* err) {
    Command command(channel, out, err);
    if (arguments.empty()) return command.Usage("no command given");
    std::vector<std::string> args(arguments.begin() + 1, arguments.end());
    const std::string& verb = arguments[0];
    if (verb == "--help" || verb == "-h" || verb == "help") {
        *out += kUsageText;
        return kSucceeded;
    }
    bool json = TakeFlag(&args, "--json");
    if (json && verb != "list" && verb != "raw") return command.Usage("--json is for list and raw");

    // Everything is checked before the device is opened.
    uint32_t code = 0, index = 0, state = 0, outputLength = 0;
    std::vector<uint8_t> input;
    if (verb == "status" || verb == "list" || verb == "arm-guard") {
        if (!args.empty()) return command.Usage(verb + " takes no arguments, but got '" + args[0] + "'");
    } else if (verb == "bridge-power" || verb == "bridge-query") {
        if (args.size() != 2) return command.Usage(verb + " needs INDEX STATE");
        if (!ParseNumber(args[0], &index)) return command.Usage("'" + args[0] + "' is not a bridge index");
        if (!ParseState(args[1], &state)) return command.Usage("'" + args[1] + "' is not a state (D0..D3 or a number)");
        if (verb == "bridge-power") {
            code = IOCTL_SET_BRIDGE_POWER;
            input = Dwords({index, state});
        } else {
            // The request carries only the bridge's index; the driver asks its
            // stack about that number when it is a state (1 to 4), and about D0 otherwise.
            uint32_t asked = index >= 1 && index <= 4 ? index : VOXEN_STATE_D0;
            if (asked != state)
                *err += "voxenctl: note: the query names only the bridge; the driver asks about state " +
                        std::to_string(asked) + ", not " + std::to_string(state) + "\n";
            code = IOCTL_QUERY_BRIDGE_POWER;
            input = Dwords({index});
            outputLength = 4;
        }
    } else if (verb == "child-power") {
        std::string methodText;
        bool missing = false;
        bool hasMethod = TakeOption(&args, "--method", &methodText, &missing);
        if (missing) return command.Usage("--method needs a value (auto, rts-low-on, rts-high-on or a number)");
        bool byIrp = TakeFlag(&args, "--irp");
        bool byPlatform = TakeFlag(&args, "--platform");
        if (args.size() != 2) return command.Usage("child-power needs BUS:DEV.FN STATE and --irp or --platform");
        if (byIrp == byPlatform) return command.Usage("child-power needs exactly one of --irp and --platform");
        if (hasMethod && !byPlatform) return command.Usage("--method goes with --platform");
        uint32_t bus, device, function, method = 0;
        if (!ParseLocation(args[0], &bus, &device, &function))
            return command.Usage("'" + args[0] + "' is not a PCI location (BUS:DEV.FN in hexadecimal, as lspci writes it)");
        if (!ParseState(args[1], &state)) return command.Usage("'" + args[1] + "' is not a state (D0..D3 or a number)");
        if (hasMethod && !ParseMethod(methodText, &method))
            return command.Usage("'" + methodText + "' is not a method (auto, rts-low-on, rts-high-on or a number)");
        code = IOCTL_SET_CHILD_POWER;
        input = Dwords({bus, device, function, state, byIrp ? VOXEN_CHILD_POWER_BY_IRP : VOXEN_CHILD_POWER_BY_PLATFORM,
                        method});
    } else if (verb == "raw") {
        std::string inText, lengthText;
        bool missing = false;
        bool hasIn = TakeOption(&args, "--in", &inText, &missing);
        bool hasLength = TakeOption(&args, "--out-len", &lengthText, &missing);
        if (missing) return command.Usage("--in needs HEX bytes and --out-len a number");
        if (args.size() != 1) return command.Usage("raw needs one CODE");
        if (!ParseNumber(args[0], &code)) return command.Usage("'" + args[0] + "' is not a request code");
        if (hasIn && !ParseHexBytes(inText, &input)) return command.Usage("'" + inText + "' is not hexadecimal bytes");
        if (hasLength && (!ParseNumber(lengthText, &outputLength) || outputLength > 65536))
            return command.Usage("'" + lengthText + "' is not an output length (0 to 65536)");
    } else {
        return command.Usage("unknown command '" + verb + "'");
    }

    int exitCode = kSucceeded;
    if (!command.Open(&exitCode)) return exitCode;
    if (verb == "status") {
        *out += "VoxenPCI control device is open\n";
    } else if (verb == "list") {
        exitCode = command.List(json);
    } else if (verb == "raw") {
        exitCode = command.Raw(code, input, outputLength, json);
    } else {
        if (verb == "arm-guard") code = IOCTL_ARM_BOOT_GUARD;
        exitCode = command.Finish(command.Send(code, input, outputLength).status);
    }
    channel.Close();
    return exitCode;
}

}  // namespace voxenctl
