// An object with a constructor at namespace scope: nothing in the kernel runs
// it, so linking it into a kernel image must fail.
#include "platform/platform.h"

namespace {

struct Announcer {
    Announcer() { DbgPrint("never printed\n"); }
    ULONG Count = 1;
};

Announcer TheAnnouncer;

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return TheAnnouncer.Count ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
