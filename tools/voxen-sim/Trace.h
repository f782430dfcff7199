// The run as a timeline, in the Trace Event JSON format that Perfetto and
// Chrome's trace viewer open. Times are virtual, and continue across reboots.
//
// Three groups of tracks:
// - "threads": one track per simulated thread (the script's thread is one
//   track across every boot). Each IRP a thread sends is a span from its
//   dispatch to the return of that call; the IRPs its drivers send meanwhile
//   lie inside it. Completions are instants on the thread that completes.
//   Blocking waits (KeDelayExecutionThread, KeWaitForSingleObject, advance,
//   the script waiting for the machine to settle) are spans too, and so is
//   every script command. A "machine" track holds one span per boot.
// - "device stacks": one track per device object, a span per dispatch to it;
//   calls on other threads that overlap get a second lane of the device.
// - "IRPs": every IRP from its first dispatch to its last completion, packed
//   into lanes so that an IRP sent while another was under way nests in it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "sim/machine/Machine.h"

namespace voxen {

class Trace {
public:
    // From here on, a violation that stops the program writes the file first.
    explicit Trace(const std::string& path);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Starts recording `machine` (again after a reboot: its clock starts at
    // zero, the trace's goes on from where the last machine stopped).
    void Attach(sim::Machine& machine);
    // The machine has shut down: nothing more is recorded from it.
    void Detach();
    // A script command, on the script's thread.
    void BeginCommand(const std::string& text);
    void EndCommand();
    // Writes the file, spans still open ending at the last moment seen and
    // marked unfinished; false when it cannot be written.
    bool Write();

private:
    struct Span {
        int pid;
        int tid;
        std::string name;
        std::string cat;
        int64_t begin;
        int64_t end = -1;    // -1: still open
        bool instant = false;
        std::string args;    // members of a JSON object, already escaped
    };
    struct Call {            // a dispatch under way on a thread
        uint64_t irp;
        size_t threadSpan;   // its span on the thread's track, or npos when an outer call of the same IRP has it
        size_t deviceSpan;
        int deviceTrack;
        size_t lane;
    };
    struct Lane {
        int tid;
        int owner = 0;       // the thread whose calls it holds
        int depth = 0;
    };
    struct Irp {
        std::string name;
        int64_t begin;
        int64_t completed = -1;
        std::string status;
        std::string sender;  // the sending thread's track name
        std::string args;
        int boot;
        uint64_t within = 0; // the IRP its sender was dispatching, if any
    };

    int64_t Stamp();
    int ThreadTrack();
    std::string DeviceLabel(PDEVICE_OBJECT device);
    int Track(int pid, const std::string& label);
    size_t Open(int pid, int tid, const std::string& name, const std::string& cat, int64_t begin, std::string args);
    void Close(size_t span, int64_t end, const std::string& moreArgs);
    void OnIrp(const sim::IrpEvent& event);
    void OnWait(const sim::WaitSpan& wait);

    std::string path_;
    sim::Machine* machine_ = nullptr;
    int boot_ = 0;
    int64_t base_ = 0;   // trace time at which this boot's clock started
    int64_t last_ = 0;   // the latest trace time seen
    size_t bootSpan_ = static_cast<size_t>(-1);
    std::vector<size_t> commands_;
    std::vector<Span> spans_;
    std::map<std::pair<int, std::string>, int> tracks_;  // (pid, label) -> tid
    std::map<std::pair<int, int>, std::string> trackNames_;
    std::map<int, std::vector<Call>> calls_;              // by thread track
    std::map<int, std::vector<Lane>> lanes_;              // by device track
    std::map<std::pair<int, uint64_t>, Irp> irps_;        // (boot, sequence)
};

// `text` as a JSON string, quotes included: quotes, backslashes and control
// characters escaped, bytes that are not UTF-8 replaced by U+FFFD.
std::string JsonString(const std::string& text);

// "IRP_MJ_PNP", "IRP_MN_START_DEVICE" and so on.
std::string MajorName(UCHAR major);
std::string MinorName(UCHAR major, UCHAR minor);

}  // namespace voxen
