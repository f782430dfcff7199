// voxenctl's requests on the simulated machine: the user-mode calls of a
// process holding an administrator's or a normal user's token.
#pragma once

#include "sim/kernel/Kernel.h"
#include "tools/voxenctl/Commands.h"

class SimChannel : public voxenctl::Channel {
public:
    SimChannel(sim::Kernel& kernel, sim::Caller caller) : kernel_(kernel), caller_(caller) {}
    OpenResult Open(std::string* detail) override;
    Reply Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) override;
    void Close() override;

private:
    sim::Kernel& kernel_;
    sim::Caller caller_;
    PFILE_OBJECT file_ = nullptr;
};
