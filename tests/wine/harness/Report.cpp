// What the harness saw, as values of its own service key, and the requests
// the test leaves there for it.
#include <stdarg.h>
#include <stdio.h>

#include "tests/wine/harness/Harness.h"

namespace {

HANDLE OpenKey() {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &Harness.ServiceKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    return NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes)) ? key : nullptr;
}

void SetValue(PCWSTR Name, ULONG Type, const void* Data, ULONG Length) {
    HANDLE key = OpenKey();
    if (key == nullptr) return;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    ZwSetValueKey(key, &name, 0, Type, const_cast<void*>(Data), Length);
    ZwClose(key);
}

}  // namespace

void Event(const char* Format, ...) {
    char line[320];
    va_list arguments;
    va_start(arguments, Format);
    int length = _vsnprintf(line, sizeof(line) - 2, Format, arguments);
    va_end(arguments);
    if (length < 0) length = sizeof(line) - 2;
    line[length++] = '\n';
    DbgPrint("harness: %.*s", length, line);
    KIRQL irql;
    KeAcquireSpinLock(&Harness.EventsLock, &irql);
    static const char full[] = "(the event buffer is full: later events are only in the debug output)\n";
    if (Harness.EventsLength + length + sizeof(full) < sizeof(Harness.Events)) {
        RtlCopyMemory(Harness.Events + Harness.EventsLength, line, length);
        Harness.EventsLength += length;
    } else if (!Harness.EventsDropped) {
        Harness.EventsDropped = TRUE;
        RtlCopyMemory(Harness.Events + Harness.EventsLength, full, sizeof(full) - 1);
        Harness.EventsLength += sizeof(full) - 1;
    }
    KeReleaseSpinLock(&Harness.EventsLock, irql);
}

void ReportString(PCWSTR Name, const char* Text) {
    // REG_MULTI_SZ, a string a line: reg query prints it on one line with \0 between.
    ULONG characters = 0;
    while (Text[characters] != 0) ++characters;
    auto* wide = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (characters + 2) * sizeof(WCHAR), HarnessTag));
    if (wide == nullptr) return;
    ULONG length = 0;
    for (; length < characters; ++length) wide[length] = Text[length] == '\n' ? 0 : static_cast<WCHAR>(Text[length]);
    if (length == 0 || wide[length - 1] != 0) wide[length++] = 0;
    wide[length++] = 0;
    SetValue(Name, REG_MULTI_SZ, wide, length * sizeof(WCHAR));
    ExFreePoolWithTag(wide, HarnessTag);
}

void ReportDword(PCWSTR Name, ULONG Value) { SetValue(Name, REG_DWORD, &Value, sizeof(Value)); }

void ReportBinary(PCWSTR Name, const void* Data, ULONG Length) { SetValue(Name, REG_BINARY, Data, Length); }

// Every event so far, written over C:\voxenharness-events.txt (a registry
// value is cut short by reg query); called at passive level.
void FlushEvents() {
    static char copy[sizeof(Harness.Events)];
    KIRQL irql;
    KeAcquireSpinLock(&Harness.EventsLock, &irql);
    ULONG length = Harness.EventsLength;
    RtlCopyMemory(copy, Harness.Events, length);
    KeReleaseSpinLock(&Harness.EventsLock, irql);
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\??\\C:\\voxenharness-events.txt");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE file = nullptr;
    IO_STATUS_BLOCK io;
    if (!NT_SUCCESS(ZwCreateFile(&file, GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ, FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                                 nullptr, 0)))
        return;
    ZwWriteFile(file, nullptr, nullptr, nullptr, &io, copy, length, nullptr, nullptr);
    ZwClose(file);
}

// The test's next request, the REG_SZ "Request"; it stays in the key until
// FinishRequest, so that the test, seeing it gone, finds the reply written.
bool TakeRequest(char* Text, ULONG Size) {
    HANDLE key = OpenKey();
    if (key == nullptr) return false;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Request");
    ULONG buffer[80];
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONG length = 0;
    bool taken = false;
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof(buffer), &length)) &&
        info->Type == REG_SZ) {
        auto* wide = reinterpret_cast<PCWSTR>(info->Data);
        ULONG count = info->DataLength / sizeof(WCHAR), i = 0;
        for (; i < count && i + 1 < Size && wide[i] != 0; ++i) Text[i] = static_cast<char>(wide[i]);
        Text[i] = 0;
        taken = true;
    }
    ZwClose(key);
    return taken;
}

void FinishRequest() {
    HANDLE key = OpenKey();
    if (key == nullptr) return;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Request");
    ZwDeleteValueKey(key, &name);
    ZwClose(key);
}

ULONG ReadDword(PCWSTR Name) {
    HANDLE key = OpenKey();
    if (key == nullptr) return 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    ULONG buffer[5];
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONG length = 0, value = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof(buffer), &length)) &&
        info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
        RtlCopyMemory(&value, info->Data, sizeof(value));
    ZwClose(key);
    return value;
}
