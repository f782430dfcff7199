// Writes every IRP's path through the device stacks in the Trace Event JSON
// format that Perfetto and Chrome's trace viewer open: one track per device
// object, one slice per dispatch (virtual time), an instant per completion.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "sim/machine/Machine.h"

namespace voxen {

class Trace {
public:
    explicit Trace(const std::string& path) : path_(path) {}
    // Starts recording the IRPs of `machine` (again after a reboot).
    void Attach(sim::Machine& machine);
    // Writes the file; false when it cannot be written.
    bool Write() const;

private:
    struct Open {
        int64_t at;
        int track;
    };
    int Track(sim::Machine& machine, PDEVICE_OBJECT device);

    std::string path_;
    std::vector<std::string> events_;
    std::map<PDEVICE_OBJECT, int> tracks_;
    std::map<std::pair<PIRP, PDEVICE_OBJECT>, std::vector<Open>> open_;
    int boot_ = 0;
};

// "IRP_MJ_PNP", "IRP_MN_START_DEVICE" and so on.
std::string MajorName(UCHAR major);
std::string MinorName(UCHAR major, UCHAR minor);

}  // namespace voxen
