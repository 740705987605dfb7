// Kernel build: the platform is the real one, as the DDK headers describe it.
#pragma once

extern "C" {
// wdm.h defines two bit-test intrinsics that intrin.h already defined; in C++
// the second definition is an error, so wdm.h's pair is renamed out of the way.
#include <intrin.h>
#define InterlockedBitTestAndSet VxDdkInterlockedBitTestAndSet
#define InterlockedBitTestAndReset VxDdkInterlockedBitTestAndReset
#include <ddk/wdm.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
#include <ddk/usbdlib.h>
#include <wmistr.h>
#include <ddk/wmilib.h>
}

// A UTF-16 string literal in the platform's WCHAR type.
#define VX_TEXT(s) L##s

// Plain 32-bit loads and stores of fields that other contexts change without
// a lock. Aligned 32-bit accesses are atomic on every processor the kernel
// image targets; the volatile access keeps the compiler from caching them.
// (The newer DDKs declare these under the same names; this one does not.)
inline LONG ReadNoFence(const volatile LONG *Source) { return *Source; }
inline void WriteNoFence(volatile LONG *Destination, LONG Value) { *Destination = Value; }
inline ULONG ReadULongNoFence(const volatile ULONG *Source) { return *Source; }
inline void WriteULongNoFence(volatile ULONG *Destination, ULONG Value) { *Destination = Value; }
inline PVOID ReadPointerNoFence(PVOID const volatile *Source) { return *Source; }
inline void WritePointerNoFence(PVOID volatile *Destination, PVOID Value) { *Destination = Value; }
