// voxen-sim: runs the VoxenPCI driver on a simulated machine and tells what
// happened, for people who have no spare Windows machine and for driver
// developers reproducing a scenario.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "sim/machine/Description.h"
#include "tools/voxen-sim/Session.h"
#include "tools/voxen-sim/Trace.h"

namespace {

int Usage(FILE* to, int code) {
    std::fprintf(to,
                 "usage: voxen-sim [--machine FILE] [--script FILE|-] [--trace FILE]\n"
                 "  --machine FILE  the machine, described in JSON (docs/machine.md); default: a laptop\n"
                 "  --script FILE   commands to run, one a line ('-' reads standard input); default: a tour\n"
                 "  --trace FILE    write the run as a timeline in Trace Event JSON (Perfetto, chrome://tracing)\n"
                 "exit codes: 0 the script ran; 2 a script or machine mistake; 3 the simulated kernel stopped\n"
                 "(a rule violation, a leak at shutdown, or a hang)\n");
    return code;
}

bool ReadFile(const std::string& path, std::string* text) {
    std::ifstream file(path);
    if (!file) return false;
    std::ostringstream contents;
    contents << file.rdbuf();
    *text = contents.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string machinePath, scriptPath, tracePath;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") return Usage(stdout, voxen::kRan);
        if (i + 1 >= argc) return Usage(stderr, voxen::kScriptError);
        if (option == "--machine")
            machinePath = argv[++i];
        else if (option == "--script")
            scriptPath = argv[++i];
        else if (option == "--trace")
            tracePath = argv[++i];
        else
            return Usage(stderr, voxen::kScriptError);
    }

    std::string description = sim::DefaultMachineJson();
    if (!machinePath.empty() && !ReadFile(machinePath, &description)) {
        std::fprintf(stderr, "voxen-sim: cannot read %s\n", machinePath.c_str());
        return voxen::kScriptError;
    }
    sim::MachineSpec spec;
    std::string error;
    if (!sim::ParseMachine(description, &spec, &error)) {
        std::fprintf(stderr, "voxen-sim: %s: %s\n", machinePath.empty() ? "default machine" : machinePath.c_str(),
                     error.c_str());
        return voxen::kScriptError;
    }

    std::string scriptText = voxen::Session::DefaultScript();
    std::string scriptName = "default scenario";
    if (scriptPath == "-") {
        // Each line runs as it is read: a person at the terminal sees its answer first.
        std::unique_ptr<voxen::Trace> trace = tracePath.empty() ? nullptr : std::make_unique<voxen::Trace>(tracePath);
        voxen::Session session(spec, trace.get());
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        int code = session.Run(std::cin, "standard input");
        std::fflush(stdout);
        return code;
    }
    if (!scriptPath.empty()) {
        if (!ReadFile(scriptPath, &scriptText)) {
            std::fprintf(stderr, "voxen-sim: cannot read %s\n", scriptPath.c_str());
            return voxen::kScriptError;
        }
        scriptName = scriptPath;
    }

    std::unique_ptr<voxen::Trace> trace = tracePath.empty() ? nullptr : std::make_unique<voxen::Trace>(tracePath);
    std::istringstream script(scriptText);
    voxen::Session session(spec, trace.get());
    int code = session.Run(script, scriptName);
    std::fflush(stdout);
    return code;
}
