// Application I/O: handles, bulk and interrupt transfers, control requests.
#pragma once

#include "driver/DeviceExtension.h"

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
LONG *PipeCounterFromName(PDEVICE_OBJECT DeviceObject, PCUNICODE_STRING FileName);

NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI ReadWriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS HandleClassReadBlock(PDEVICE_OBJECT DeviceObject, ULONG OutputLength,
                                            PVOID SystemBuffer, PULONG Information);
[[nodiscard]] NTSTATUS HandleClassRead(PDEVICE_OBJECT DeviceObject, ULONG OutputLength,
                                       PVOID SystemBuffer, PULONG Information);
[[nodiscard]] NTSTATUS HandleClassOtherWrite(PDEVICE_OBJECT DeviceObject, ULONG OutputLength,
                                             PVOID SystemBuffer);
[[nodiscard]] NTSTATUS HandleGetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, ULONG OutputLength,
                                                 PVOID SystemBuffer, PULONG Information);
[[nodiscard]] NTSTATUS HandleGetStringDescriptor(PDEVICE_OBJECT DeviceObject, ULONG OutputLength,
                                                 PVOID SystemBuffer, PULONG Information);
