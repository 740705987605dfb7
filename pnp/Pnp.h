// Plug and Play dispatch, device states and device configuration.
#pragma once

#include "driver/DeviceExtension.h"

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Passes the IRP down and waits for the lower drivers; the IRP comes back to
// the caller not completed. PASSIVE_LEVEL.
[[nodiscard]] NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Device configuration. PASSIVE_LEVEL, in the thread of a PnP request.
[[nodiscard]] NTSTATUS ReadDescriptorsAndConfigure(PDEVICE_OBJECT DeviceObject);
[[nodiscard]] NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
[[nodiscard]] NTSTATUS SelectInterfaces(PDEVICE_OBJECT DeviceObject,
                                        PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
[[nodiscard]] NTSTATUS DeconfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReleaseConfiguration(PDEVICE_OBJECT DeviceObject);
