// ntoskrnl.exe's safe-boot indicator declared as a plain variable, not as the
// import it is: the image would need a user-mode runtime to patch the
// reference at load, so linking it into a kernel image must fail.
#include "platform/platform.h"

extern "C" ULONG InitSafeBootModeByMistake __asm__("InitSafeBootMode");

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return InitSafeBootModeByMistake != 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}
