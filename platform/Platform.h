// The one header driver code includes for the platform it runs on.
//
// The kernel image takes the WDM, USB and WMI library declarations from the
// DDK headers; the simulator build takes them from the simulator's own
// definitions of the same names. Nothing outside platform/ may ask which of
// the two it is compiled for.
#pragma once

#if defined(VEXTORA_KERNEL)
#include "platform/km/KernelPlatform.h"
#else
#include "platform/sim/SimPlatform.h"
#endif

// Pool tag of every allocation the driver makes: "Vxtr" as it reads in a
// pool dump (the first character is the lowest byte).
#define VEXTORA_POOL_TAG ((ULONG)('V' | ('x' << 8) | ('t' << 16) | ('r' << 24)))
