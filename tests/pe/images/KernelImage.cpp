// A small image built exactly as voxenpci.sys is: it passes every rule of the
// image check. Each VOXEN_FAULT_* define (or a changed link option, see
// cmake/Windows.cmake) makes it break one rule, the way a driver could.
#include "platform/platform.h"

namespace {

void Greet(PUNICODE_STRING Path) { DbgPrint("kernel image: loaded from %wZ\n", Path); }

// A table of code addresses, so the image has absolute addresses to relocate.
void (*const Greeters[])(PUNICODE_STRING) = {Greet};

}  // namespace

#if defined(VOXEN_FAULT_EXPORT)
// A symbol marked for export, as a header meant for a DLL would.
extern "C" __declspec(dllexport) ULONG ExportedCounter(ULONG value) { return value + 1; }
#define FAULT_CALL(path) ExportedCounter(path->Length)
#elif defined(VOXEN_FAULT_USER_CALL)
// A user-mode call: links against kernel32, loads nowhere in the kernel.
extern "C" __declspec(dllimport) ULONG __stdcall GetTickCount();
#define FAULT_CALL(path) (GetTickCount() + path->Length)
#elif defined(VOXEN_FAULT_C_RUNTIME)
// The C runtime's allocator: msvcrt.dll, which the kernel does not have.
extern "C" void* malloc(size_t);
extern "C" void free(void*);
#define FAULT_CALL(path) (free(malloc(path->Length)), 0)
#elif defined(VOXEN_FAULT_NO_UNWIND)
// A function written without unwind data: it moves the stack pointer, so a
// stack walk through it (an exception, a bug check) is lost.
asm(".text\n"
    ".globl BareStackUser\n"
    ".def BareStackUser; .scl 2; .type 32; .endef\n"
    "BareStackUser:\n"
    "  subq $40, %rsp\n"
    "  movl %ecx, %eax\n"
    "  addq $40, %rsp\n"
    "  ret\n");
extern "C" ULONG BareStackUser(ULONG value);
#define FAULT_CALL(path) BareStackUser(path->Length)
#elif defined(VOXEN_FAULT_WRITABLE_CODE)
// Code in a section that is also writable, as self-patching code would need.
asm(".section .patch,\"wx\"\n"
    ".globl PatchableReturn\n"
    ".def PatchableReturn; .scl 2; .type 32; .endef\n"
    ".seh_proc PatchableReturn\n"
    "PatchableReturn:\n"
    "  .seh_endprologue\n"
    "  movl %ecx, %eax\n"
    "  ret\n"
    ".seh_endproc\n"
    ".text\n");
extern "C" ULONG PatchableReturn(ULONG value);
#define FAULT_CALL(path) PatchableReturn(path->Length)
#elif defined(VOXEN_FAULT_TLS)
// A TLS directory (IMAGE_TLS_DIRECTORY64's layout): the linker points the
// image's TLS entry at a symbol of this name.
struct TlsDirectory {
    ULONGLONG StartAddressOfRawData, EndAddressOfRawData, AddressOfIndex, AddressOfCallBacks;
    ULONG SizeOfZeroFill, Characteristics;
};
extern "C" const TlsDirectory _tls_used = {};
#define FAULT_CALL(path) (_tls_used.Characteristics + path->Length)
#else
#define FAULT_CALL(path) 0
#endif

// What another entry point would look like; only the entry-point image uses it.
extern "C" NTSTATUS OtherEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    return DriverObject && RegistryPath ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    for (auto greet : Greeters) greet(RegistryPath);
    if (FAULT_CALL(RegistryPath) == 0xFFFFFFFFu) return STATUS_UNSUCCESSFUL;
    return OtherEntry(DriverObject, RegistryPath);
}
