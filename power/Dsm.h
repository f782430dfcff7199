// The ACPI _DSM power method of a stack's firmware object: evaluated through
// IOCTL_ACPI_EVAL_METHOD sent down the stack, probed when a filter attaches,
// and function 3 switching the power of the device behind a bridge.
#pragma once

#include "platform/platform.h"

class FilterDevice;

// The evaluation buffers, laid out byte by byte (ACPI_EVAL_INPUT_BUFFER_COMPLEX
// with four arguments, and ACPI_EVAL_OUTPUT_BUFFER with room for one result).
constexpr ULONG DsmInputLength = 72;
constexpr ULONG DsmOutputLength = 30;

// The two UUIDs of the method, in the order they are tried.
extern const GUID DsmPowerUuids[2];

// Fills a zeroed 72-byte input buffer for `Uuid`, a function index and its argument.
void BuildDsmInput(PUCHAR Input, const GUID& Uuid, ULONG FunctionIndex, ULONG Argument);

// Evaluates _DSM with the object's DsmUuid at `Target`. With `Out`, the first
// result's data is copied there (at most *OutLength bytes, which is set to
// what was copied).
NTSTATUS EvaluateDsm(FilterDevice* Filter, PDEVICE_OBJECT Target, ULONG FunctionIndex, ULONG Argument, PVOID Out,
                     PULONG OutLength);

// Whether the stack below the filter offers the power method (functions 0 to
// 3 and no others); DsmUuid keeps the UUID tried last.
BOOLEAN ProbeDsm(FilterDevice* Filter);

// Kind 1 restores power, 2 cuts it.
NTSTATUS DsmSetPower(FilterDevice* Filter, ULONG Kind);
