// A run of the driver on a simulated machine, driven by a script: one command
// a line, '#' starts a comment.
#pragma once

#include <cstdio>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "sim/machine/Machine.h"
#include "tools/voxen-sim/Trace.h"

namespace voxen {

// Exit codes of voxen-sim.
constexpr int kRan = 0;
constexpr int kScriptError = 2;  // a script or machine description mistake
constexpr int kKernelStop = 3;   // a rule violation, a leak at shutdown, or a hang

class Session {
public:
    Session(sim::MachineSpec spec, Trace* trace);
    ~Session();

    // Boots, runs the script, shuts down. Returns an exit code.
    int Run(std::istream& script, const std::string& scriptName);

    // What runs when no script is given.
    static const char* DefaultScript();

private:
    struct ScriptError {
        std::string what;
    };

    void Boot(const sim::RegistryHive* registry = nullptr);
    int ShutDown();
    void Execute(const std::vector<std::string>& words);
    void Show();
    void Registry(const std::vector<std::string>& words);
    void Hid(const std::string& name, const std::string& command);
    void Ctl(const std::vector<std::string>& args, sim::Caller caller);
    std::string Location(const std::string& text, bool mustBeBridge);

    sim::MachineSpec spec_;
    Trace* trace_;
    std::unique_ptr<sim::Machine> machine_;
    int boots_ = 0;
};

}  // namespace voxen
