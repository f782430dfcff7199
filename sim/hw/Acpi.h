// The ACPI driver's filter in the stack of a device that has an object in the
// firmware's namespace: below the PCI bus driver's function device, directly
// on the PDO, as Windows's ACPI driver places itself when the PCI bus reports
// the device. It evaluates the object's _DSM method (IOCTL_ACPI_EVAL_METHOD)
// as the machine describes it and passes every other request down.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "sim/ddk/devices.h"
#include "sim/hw/PciFunction.h"
#include "sim/pnp/SimDevice.h"

namespace sim {

class AcpiFilter : public SimDevice {
public:
    // `switchPower(on)` cuts or restores the power of what the method switches.
    AcpiFilter(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, const DsmSpec& dsm, std::function<void(bool)> switchPower);
    NTSTATUS Dispatch(PIRP irp) override;

    // The input buffer of every evaluation it was asked for, as it came.
    const std::vector<std::vector<uint8_t>>& Evaluations() const { return evaluations_; }

private:
    NTSTATUS Evaluate(PIRP irp, PIO_STACK_LOCATION location);

    PDEVICE_OBJECT lower_;
    DsmSpec dsm_;
    std::function<void(bool)> switchPower_;
    std::vector<std::vector<uint8_t>> evaluations_;
};

// "906E5706-ABA3-42F6-B454-B662DF563FEF" in the in-memory layout of a GUID; false when it is not one.
bool ParseGuid(const std::string& text, GUID* guid);

}  // namespace sim
