// voxen-fuzz: control requests a user-mode process could send, interleaved
// with hot-plug, removal, rescans, HID boards coming and going and the passing
// of time, on the machines of docs/machine.md; every answer checked, every
// shutdown checked for leaks. A run is reproducible from its first seed.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/kernel/StatusNames.h"
#include "tools/voxen-fuzz/Campaign.h"
#include "tools/voxen-fuzz/Machines.h"

namespace {

// Interrupted (Ctrl-C, kill): the boot under way finishes and the summary is printed.
volatile std::sig_atomic_t interrupted = 0;
void Interrupt(int) { interrupted = 1; }

int Usage(FILE* to, int code) {
    std::fprintf(to,
                 "usage: voxen-fuzz [--seed N] [--requests N] [--per-boot N] [--machine FILE]...\n"
                 "  --seed N      the first boot's seed; boot k uses seed N+k for its requests, its scheduler and its\n"
                 "                machine (the (N+k mod count)th) (default 1)\n"
                 "  --requests N  control requests in all (default 100000)\n"
                 "  --per-boot N  requests before the machine shuts down and the next boots (default 2000)\n"
                 "  --machine F   a JSON machine description, or a Markdown file whose JSON examples are all used;\n"
                 "                repeatable (default: docs/machine.md of the source tree)\n"
                 "exit codes: 0 every rule held; 1 an answer broke a rule or a shutdown left something behind;\n"
                 "2 a usage or machine mistake; 3 the simulated kernel stopped the machine\n"
                 "progress goes to standard error every 100 boots; SIGINT or SIGTERM ends the run after the boot\n"
                 "under way, with its summary\n");
    return code;
}

bool Number(const char* text, uint64_t* value) {
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || text[0] == '-') return false;
    *value = parsed;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t seed = 1, requests = 100000, perBoot = 2000;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") return Usage(stdout, 0);
        if (i + 1 >= argc) return Usage(stderr, 2);
        const char* value = argv[++i];
        bool ok = true;
        if (option == "--seed")
            ok = Number(value, &seed);
        else if (option == "--requests")
            ok = Number(value, &requests);
        else if (option == "--per-boot")
            ok = Number(value, &perBoot) && perBoot > 0;
        else if (option == "--machine")
            paths.push_back(value);
        else
            ok = false;
        if (!ok) return Usage(stderr, 2);
    }
    if (paths.empty()) paths.push_back(std::string(VOXEN_SOURCE_DIR) + "/docs/machine.md");
    std::vector<fuzz::NamedMachine> machines;
    for (const std::string& path : paths) {
        std::string error;
        if (!fuzz::LoadMachines(path, &machines, &error)) {
            std::fprintf(stderr, "voxen-fuzz: %s\n", error.c_str());
            return 2;
        }
    }

    std::signal(SIGINT, Interrupt);
    std::signal(SIGTERM, Interrupt);
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    fuzz::Stats total;
    std::string finding;
    uint64_t boot = 0;
    for (; total.requests < requests && finding.empty() && !interrupted; ++boot) {
        if (boot % 100 == 0 && boot > 0)
            std::fprintf(stderr, "voxen-fuzz: %llu requests in %llu boots, %.0f s\n",
                         static_cast<unsigned long long>(total.requests), static_cast<unsigned long long>(boot), elapsed());
        // The seed picks the machine too: --seed N --requests PER-BOOT replays one boot.
        const fuzz::NamedMachine& machine = machines[(seed + boot) % machines.size()];
        sim::MachineSpec spec = machine.spec;
        spec.seed = seed + boot;
        fuzz::SeededSource source(spec.seed);
        fuzz::Campaign campaign(spec, machine.name + " with seed " + std::to_string(spec.seed));
        fuzz::Stats stats;
        finding = campaign.Run(source, std::min(perBoot, requests - total.requests), &stats);
        total.Add(stats);
    }
    double seconds = elapsed();
    if (interrupted) std::printf("voxen-fuzz: interrupted\n");

    std::printf("voxen-fuzz: %llu requests, %llu machine events (%llu that did not apply), %llu boots\n",
                static_cast<unsigned long long>(total.requests), static_cast<unsigned long long>(total.events),
                static_cast<unsigned long long>(total.skipped), static_cast<unsigned long long>(total.boots));
    std::printf("seeds %llu to %llu, %llu requests a boot, over %zu machine(s):\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(seed + boot - 1), static_cast<unsigned long long>(perBoot),
                machines.size());
    for (const fuzz::NamedMachine& machine : machines) std::printf("  %s\n", machine.name.c_str());
    std::printf("statuses:\n");
    for (auto& [status, count] : total.statuses)
        std::printf("  %-40s %12llu\n", sim::StatusName(static_cast<NTSTATUS>(status)).c_str(),
                    static_cast<unsigned long long>(count));
    std::printf("time %.1f s, %.0f requests/s\n", seconds, seconds > 0 ? total.requests / seconds : 0.0);
    if (!finding.empty()) {
        std::printf("FAULT %s\n", finding.c_str());
        return 1;
    }
    std::printf("every rule held: no stop, every answer within its buffer and written by the driver, nothing left at shutdown\n");
    return 0;
}
