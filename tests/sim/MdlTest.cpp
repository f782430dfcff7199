// Memory descriptor lists as Windows treats them: the I/O manager unlocks and
// frees every MDL of a request it completes, an MDL left behind is reported at
// shutdown, and a driver that locks, maps or frees pages wrongly is stopped.
#include <gtest/gtest.h>

#include "tests/support/TestDriver.h"

namespace {

using test::TestDriver;

const auto kStopped = ::testing::ExitedWithCode(sim::kViolationExitCode);
constexpr ULONG kBufferTag = sim::MakeTag("MdlT");

// A device with direct I/O that reads what a write's MDL describes.
struct DirectDevice {
    DirectDevice()
        : device(driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) {
              auto* bytes = static_cast<unsigned char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
              ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
              seen.assign(bytes, bytes + length);
              irp->IoStatus.Status = STATUS_SUCCESS;
              irp->IoStatus.Information = length;
              IoCompleteRequest(irp, IO_NO_INCREMENT);
              return STATUS_SUCCESS;
          })) {
        device->Flags |= DO_DIRECT_IO;
    }
    TestDriver driver;
    PDEVICE_OBJECT device;
    std::vector<unsigned char> seen;
};

// A write of `length` bytes whose builder's MDL is replaced by one over the
// whole buffer; `releaseBuilders` says whether the builder's MDL is released.
NTSTATUS WriteWithReplacedMdl(DirectDevice& target, PUCHAR buffer, ULONG whole, ULONG length, bool releaseBuilders) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, target.device, buffer, length, nullptr, &event, &status);
    PMDL builders = irp->MdlAddress;
    if (releaseBuilders) {
        MmUnlockPages(builders);
        IoFreeMdl(builders);
    }
    PMDL mdl = IoAllocateMdl(buffer, whole, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    irp->MdlAddress = mdl;
    IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = whole;
    if (IoCallDriver(target.device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return status.Status;
}

TEST(Mdls, TheIoManagerUnlocksAndFreesTheMdlOfACompletedRequest) {
    sim::Kernel kernel;
    {
        DirectDevice target;
        auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, 16, kBufferTag));
        for (UCHAR i = 0; i < 16; ++i) buffer[i] = i;
        EXPECT_EQ(WriteWithReplacedMdl(target, buffer, 16, 4, true), STATUS_SUCCESS);
        EXPECT_EQ(target.seen.size(), 16u) << "the device read the whole buffer";
        EXPECT_EQ(target.seen[15], 15);
        // Its pages are no longer locked: the buffer may go.
        ExFreePoolWithTag(buffer, kBufferTag);
    }
    EXPECT_TRUE(kernel.Shutdown().empty());
}

TEST(Mdls, AReplacedMdlThatWasNotReleasedIsReportedAtShutdown) {
    sim::Kernel kernel;
    std::vector<std::string> leaks;
    {
        DirectDevice target;
        auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, 16, kBufferTag));
        EXPECT_EQ(WriteWithReplacedMdl(target, buffer, 16, 4, false), STATUS_SUCCESS);
        // The builder's MDL still locks the first four bytes, so the buffer stays too.
    }
    leaks = kernel.Shutdown();
    bool named = false;
    for (const std::string& line : leaks) named |= line.find("an MDL of 4 bytes") != std::string::npos &&
                                                 line.find("still locked") != std::string::npos;
    EXPECT_TRUE(named) << ::testing::PrintToString(leaks);
}

// A driver that locks pages of a pool block and then frees the block.
void FreeLockedPool() {
    sim::Kernel kernel;
    auto* buffer = ExAllocatePoolWithTag(PagedPool, 32, kBufferTag);
    PMDL mdl = IoAllocateMdl(buffer, 32, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    ExFreePoolWithTag(buffer, kBufferTag);
}

void ProbePastTheBlock() {
    sim::Kernel kernel;
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, 9, kBufferTag));
    PMDL mdl = IoAllocateMdl(buffer, 64, FALSE, FALSE, nullptr);  // the report is 64 bytes, the buffer 9
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
}

void ProbePagedPoolAtDispatchLevel() {
    sim::Kernel kernel;
    auto* buffer = ExAllocatePoolWithTag(PagedPool, 16, kBufferTag);
    PMDL mdl = IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
}

void MapAnUnlockedMdl() {
    sim::Kernel kernel;
    auto* buffer = ExAllocatePoolWithTag(PagedPool, 16, kBufferTag);
    PMDL mdl = IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr);
    MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
}

TEST(MdlsDeathTest, BrokenDriversAreStopped) {
    EXPECT_EXIT(FreeLockedPool(), kStopped, "frees pool whose pages an MDL still holds locked");
    EXPECT_EXIT(ProbePastTheBlock(), kStopped, "MDL of 64 bytes at offset 0 of a 9-byte pool block");
    EXPECT_EXIT(ProbePagedPoolAtDispatchLevel(), kStopped,
                "MmProbeAndLockPages \\(pageable memory\\) called at DISPATCH_LEVEL; it may be called at APC_LEVEL");
    EXPECT_EXIT(MapAnUnlockedMdl(), kStopped, "MmGetSystemAddressForMdlSafe of an MDL whose pages are not locked");
}

}  // namespace
