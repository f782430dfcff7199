// I/O manager: IRPs and their stack locations, calling drivers, completion with
// the real rules, requests built for other drivers, MDLs, and the requests a
// user-mode caller makes (open, device control, close).
//
// It stops the program where Windows would stop the machine or Driver Verifier
// would: completing twice, completing with STATUS_PENDING, running out of stack
// locations, using an IRP after completion, returning STATUS_PENDING without
// marking the IRP pending (or marking it and returning something else), sending
// a Plug and Play or power IRP whose status was not preset to
// STATUS_NOT_SUPPORTED, and calling a deleted device object.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/ddk/wdm.h"
#include "sim/kernel/Objects.h"

namespace sim {

// The dispatch routine of every major function a driver leaves unset.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// The system buffer of a buffered request is filled with this byte past the
// caller's input, so output a driver did not write is recognisable.
constexpr unsigned char kSystemBufferPoison = 0xA5;

// One event in an IRP's life, for observers such as a trace.
struct IrpEvent {
    enum class Kind { Dispatch, Return, Complete };
    Kind kind;
    PIRP irp;
    uint64_t irpSequence;
    PDEVICE_OBJECT device;  // Dispatch, Return: the device called
    UCHAR major;
    UCHAR minor;
    NTSTATUS status;  // Return: what the dispatch routine returned; Complete: the IRP's status
    const IO_STACK_LOCATION* location;  // Dispatch: the location the driver is called with (valid in the callback)
};

class IoManager {
public:
    using Completion = std::function<void(PIRP)>;
    using Observer = std::function<void(const IrpEvent&)>;

    IoManager() = default;
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    // Kernel services.
    PIRP AllocateIrp(CCHAR stackSize);
    void FreeIrp(PIRP irp);
    PIRP BuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                    PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK status);
    PIRP BuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength,
                                     PVOID output, ULONG outputLength, BOOLEAN internal, PKEVENT event,
                                     PIO_STATUS_BLOCK status);
    NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp);
    void CompleteRequest(PIRP irp);
    PMDL AllocateMdl(PVOID address, ULONG length, BOOLEAN secondary, PIRP irp);
    void FreeMdl(PMDL mdl);
    void ProbeAndLockPages(PMDL mdl);
    void UnlockPages(PMDL mdl);
    PVOID SystemAddressForMdl(PMDL mdl);
    // A locked MDL describes pages within [begin, begin + size).
    bool IsLockedWithin(const void* begin, size_t size) const;

    // IRPs the kernel itself sends (Plug and Play, power): `done` runs after
    // the last stack location completes and must call ReleaseKernelIrp.
    PIRP AllocateKernelIrp(CCHAR stackSize, Completion done);
    void ReleaseKernelIrp(PIRP irp);

    // What a user-mode caller (or IoGetDeviceObjectPointer) does.
    NTSTATUS Open(const std::wstring& path, ACCESS_MASK access, Caller caller, PFILE_OBJECT* file);
    void CloseHandle(PFILE_OBJECT file);  // cleanup, then the handle's reference
    NTSTATUS DeviceIoControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                             ULONG outputLength, ULONG_PTR* information);
    void CloseFile(PFILE_OBJECT file);  // the file object's last reference is gone

    void SetObserver(Observer observer) { observer_ = std::move(observer); }
    bool IsLive(PIRP irp) const;
    // IRPs not yet freed and MDLs not yet freed, for a long run's accounting.
    size_t LiveIrps() const;
    size_t LiveMdls() const { return mdls_.size(); }
    std::vector<std::string> Leaks() const;

private:
    enum class Kind { Allocated, Threaded, Kernel };
    enum class State { Live, Completing, Completed, Freed };
    struct Location {
        std::vector<std::pair<PDEVICE_OBJECT, NTSTATUS>> unchecked;  // returns not yet compared
        bool resolved = false;
        bool marked = false;
    };
    struct Record {
        Kind kind;
        State state = State::Live;
        int completer = 0;  // the thread running its completion, while Completing
        uint64_t sequence = 0;
        size_t bytes = 0;
        bool sent = false;
        PDEVICE_OBJECT target = nullptr;  // the device it was first sent to
        PDRIVER_OBJECT owner = nullptr;   // the driver that made it (null: the kernel)
        std::vector<Location> locations;  // [1..StackCount]
        ULONG outputLength = 0;
        Completion done;
    };

    PIRP NewIrp(CCHAR stackSize, Kind kind, bool mayFail);
    // A request the I/O manager completes to a caller's event and status block.
    PIRP NewThreadedIrp(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK status);
    Record& Find(PIRP irp, const char* service);
    void AwaitCompletionRoutine(PIRP irp);
    void CheckReturn(PIRP irp, const Location& location, PDEVICE_OBJECT device, NTSTATUS status);
    void Resolve(PIRP irp, Record& record, int index, bool marked);
    void FinishThreaded(PIRP irp, Record& record);
    void ReleaseMemory(PIRP irp, Record& record);
    NTSTATUS SendFileRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, ACCESS_MASK access,
                             KPROCESSOR_MODE mode, bool mayFail);
    void Notify(IrpEvent::Kind kind, PIRP irp, PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS status,
                const IO_STACK_LOCATION* location = nullptr);

    std::unordered_map<PIRP, Record> records_;
    std::unordered_map<PMDL, uint64_t> mdls_;  // every MDL not yet freed, by allocation order
    uint64_t mdlSequence_ = 0;
    std::deque<PIRP> quarantine_;  // freed IRPs, kept poisoned so late use is caught
    uint64_t sequence_ = 0;
    Observer observer_;
};

}  // namespace sim
