// libFuzzer's entry point: the input's first byte picks a machine of
// docs/machine.md, the rest is decoded into steps as voxen-fuzz decodes its
// seeded choices, and each input is one boot with every rule checked.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/voxen-fuzz/Campaign.h"
#include "tools/voxen-fuzz/Machines.h"

namespace {

// Enough for a few events and their interleaving; more only slows each input down.
constexpr uint64_t kRequestsPerInput = 64;

const std::vector<fuzz::NamedMachine>& Machines() {
    static const std::vector<fuzz::NamedMachine> machines = [] {
        std::vector<fuzz::NamedMachine> loaded;
        std::string error;
        if (!fuzz::LoadMachines(std::string(VOXEN_SOURCE_DIR) + "/docs/machine.md", &loaded, &error)) {
            std::fprintf(stderr, "voxen-fuzz: %s\n", error.c_str());
            std::exit(2);
        }
        return loaded;
    }();
    return machines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const fuzz::NamedMachine& machine = Machines()[data[0] % Machines().size()];
    fuzz::ByteSource source(data + 1, size - 1);
    fuzz::Campaign campaign(machine.spec, machine.name);
    campaign.AbortOnStop();
    fuzz::Stats stats;
    std::string finding = campaign.Run(source, kRequestsPerInput, &stats);
    if (!finding.empty()) {
        std::fprintf(stderr, "voxen-fuzz: %s\n", finding.c_str());
        std::abort();
    }
    return 0;
}
