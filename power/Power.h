// Power dispatch, system-to-device power mapping, and wait-wake.
#pragma once

#include "driver/DeviceExtension.h"

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Wait-wake. IssueWaitWake and CancelWaitWake may be called at any IRQL up to
// DISPATCH_LEVEL; neither blocks.
NTSTATUS IssueWaitWake(DeviceExtension *Extension);
VOID CancelWaitWake(DeviceExtension *Extension);
NTSTATUS NTAPI WaitWakeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID NTAPI WaitWakeCallback(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                            PVOID Context, PIO_STATUS_BLOCK IoStatus);
// Power-request callback that gives back the requester's I/O count; the
// context is the DeviceExtension.
VOID NTAPI ReleaseCountOnPowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                   POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);
