// A driver for tests of the simulated kernel: every device object it creates
// runs a test-supplied handler for each IRP.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/Kernel.h"

namespace test {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

class TestDriver {
public:
    explicit TestDriver(const std::wstring& name = L"\\Driver\\test");
    // Detaches and deletes every device it still has.
    ~TestDriver();

    PDRIVER_OBJECT Object() const { return driver_; }
    // A device running `handler`, attached on top of `below` when given.
    PDEVICE_OBJECT AddDevice(Handler handler, PDEVICE_OBJECT below = nullptr, const std::wstring& name = L"",
                             ULONG characteristics = 0);
    void Remove(PDEVICE_OBJECT device);

private:
    PDRIVER_OBJECT driver_;
    std::vector<PDEVICE_OBJECT> devices_;
    std::vector<std::unique_ptr<Handler>> handlers_;
};

// A PDO of a test bus, named as PDOs are and announced to the Plug and Play
// manager as `name`. It answers its IDs and its target-device relation as a
// bus driver does and hands every other IRP to `rest`; a Plug and Play IRP
// `rest` leaves alone keeps the status its sender set.
PDEVICE_OBJECT AddTestPdo(TestDriver& bus, const std::string& name, Handler rest = {});

// Handlers for the common cases.
Handler CompleteWith(NTSTATUS status, ULONG_PTR information = 0);
Handler PassDown(PDEVICE_OBJECT* lower);  // skips its location and calls *lower

// A synchronous request to the top of `device`'s stack, waited for.
struct Outcome {
    NTSTATUS returned;
    IO_STATUS_BLOCK block;
};
Outcome SendBuiltRequest(ULONG major, PDEVICE_OBJECT device);

}  // namespace test
