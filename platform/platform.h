// The one header driver code includes for the kernel's names.
//
// On Windows it is the DDK of mingw-w64; on Linux it is the simulated kernel's
// declarations of the same names. This is the only place the two builds differ.
#pragma once

#if defined(VOXEN_HOST)
#include "platform/host/kernel.h"
#else
#include "platform/target/kernel.h"
#endif

#include <new>  // placement new: driver objects live in pool memory
