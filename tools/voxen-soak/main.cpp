// voxen-soak: long runs of the driver on the simulated kernel.
//   voxen-soak power-cycles [--cycles N] [--switch dsm|hid|serial]
//   voxen-soak hot-plug [--cycles N]
// Exit 0 when nothing drifted, 1 when something did, 2 for a bad command
// line, 3 when the simulated kernel stopped the machine.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/voxen-soak/Soak.h"

namespace {

int Usage() {
    fprintf(stderr, "usage: voxen-soak power-cycles [--cycles N] [--switch dsm|hid|serial]\n"
                    "       voxen-soak hot-plug [--cycles N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string mode = argv[1];
    bool power = mode == "power-cycles";
    if (!power && mode != "hot-plug") return Usage();
    uint64_t cycles = power ? 10000 : 1000;
    soak::Switch by = soak::Switch::Dsm;
    for (int index = 2; index < argc; ++index) {
        std::string option = argv[index];
        if (index + 1 >= argc) return Usage();
        std::string value = argv[++index];
        if (option == "--cycles") {
            char* end = nullptr;
            cycles = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || *end || cycles == 0) return Usage();
        } else if (option == "--switch" && power) {
            if (value == "dsm")
                by = soak::Switch::Dsm;
            else if (value == "hid")
                by = soak::Switch::HidBoard;
            else if (value == "serial")
                by = soak::Switch::SerialRts;
            else
                return Usage();
        } else {
            return Usage();
        }
    }
    uint64_t step = cycles >= 100 ? cycles / 10 : cycles;
    auto progress = [step](uint64_t cycle) {
        if (cycle % step == 0) {
            printf("  %llu cycles\n", static_cast<unsigned long long>(cycle));
            fflush(stdout);
        }
    };
    soak::Figures figures = power ? soak::PowerCycles(cycles, by, progress) : soak::HotPlugCycles(cycles, progress);
    printf("%s: %llu of %llu cycles, host time %.1f s, virtual time %.3f s, drift: %s\n", mode.c_str(),
           static_cast<unsigned long long>(figures.cycles), static_cast<unsigned long long>(cycles), figures.hostSeconds,
           static_cast<double>(figures.virtualTime) / 1e7, figures.drift.empty() ? "none" : "");
    for (const std::string& line : figures.drift) printf("  %s\n", line.c_str());
    return figures.drift.empty() ? 0 : 1;
}
