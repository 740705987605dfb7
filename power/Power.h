// Power dispatch, system-to-device power mapping, and wait-wake.
#pragma once

#include "driver/DeviceExtension.h"

// ---- Power dispatch --------------------------------------------------------

// IRP_MJ_POWER. PASSIVE_LEVEL or DISPATCH_LEVEL, in the sender's thread; never
// blocks. The IRP belongs to this driver, or to the lower drivers it was
// passed to, afterwards. Returns STATUS_DELETE_PENDING on a removed device,
// STATUS_PENDING for set and query requests that wait for a completion or a
// work item, otherwise the status of the request's completion or of the
// lower drivers.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// System set and query power (S-IRP), from DispatchPower with the IRP's I/O
// count held. Pass the IRP down with SystemPowerCompletion set and return
// STATUS_PENDING; the S-IRP is completed later, with its D-IRP's status.
[[nodiscard]] NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS HandleSystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Completion of an S-IRP by the lower drivers; context the DeviceExtension.
// Returns STATUS_SUCCESS on their failure (the failure travels up), otherwise
// STATUS_MORE_PROCESSING_REQUIRED: the S-IRP then waits for its D-IRP.
NTSTATUS NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Asks the power manager for the D-IRP that Capabilities maps the S-IRP's
// state to. Up to DISPATCH_LEVEL. The S-IRP, halted in SystemPowerCompletion,
// is completed by DevicePowerIrpDone, or here at once when the request
// cannot be made; either way its I/O count is given back.
VOID SendDevicePowerIrp(PDEVICE_OBJECT DeviceObject, PIRP SystemIrp);
// Power-request callback of the D-IRP asked for by SendDevicePowerIrp;
// context a PowerRequestContext, which it frees.
VOID NTAPI DevicePowerIrpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                              PIO_STATUS_BLOCK IoStatus);

// Device set and query power (D-IRP), from DispatchPower with the IRP's I/O
// count held; never block. Return STATUS_PENDING when the IRP waits for a
// completion routine or for HoldIoWorker, otherwise the status the IRP was
// completed with (STATUS_INSUFFICIENT_RESOURCES when the wait for in-flight
// I/O cannot be set up) or that the lower drivers returned.
[[nodiscard]] NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS HandleDeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Completion routines of D-IRPs; context the DeviceExtension.
NTSTATUS NTAPI DevicePowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI DevicePowerDownCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Records and reports the new power of a successful power-up and completes
// its IRP with STATUS_SUCCESS. Only from DevicePowerUpCompletion, which then
// returns STATUS_MORE_PROCESSING_REQUIRED.
VOID FinishDevicePowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp, DeviceExtension *Extension);
// Queues HoldIoWorker for a D-IRP that leaves D0: it must wait until no
// device I/O is in flight. Up to DISPATCH_LEVEL. STATUS_PENDING: the IRP is
// marked pending and belongs to the worker; STATUS_INSUFFICIENT_RESOURCES:
// nothing was queued and the caller still owns the IRP.
[[nodiscard]] NTSTATUS HoldIoForPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Work-item routine (PASSIVE_LEVEL, blocks): aborts the transfers the bus
// still holds, waits until no device I/O is in flight (NoDeviceIoEvent) and
// then passes the held D-IRP down. Context a HoldIoContext, which it frees.
VOID NTAPI HoldIoWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);

// One per D-IRP requested for an S-IRP.
struct PowerRequestContext {
    PDEVICE_OBJECT DeviceObject;
    PIRP SystemIrp;
    // Whichever of SendDevicePowerIrp (after PoRequestPowerIrp returned) and
    // DevicePowerIrpDone comes second completes the S-IRP: 1 once the first
    // has returned, 2 once the callback has run. Interlocked.
    LONG Handoff;
};

// One per D-IRP held until in-flight I/O has drained.
struct HoldIoContext {
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    PIO_WORKITEM WorkItem;
};

// DevicePower is written by the power completion routines and read without a
// lock everywhere else.
inline DEVICE_POWER_STATE CurrentDevicePower(const DeviceExtension *Extension)
{
    return static_cast<DEVICE_POWER_STATE>(
        ReadNoFence(reinterpret_cast<const volatile LONG *>(&Extension->DevicePower)));
}

// ---- Requester counts ------------------------------------------------------
// Whoever asks the power manager for a D-IRP holds an I/O count
// (IncrementIoCount) until that IRP's power-request callback has run. It is
// not device I/O: a power-down does not wait for it.

// Asks for D0 with a requester count held until ReleaseCountOnPowerDone has
// run. When the power manager refuses, the request is made again shortly
// (RetryDevicePowerUp), so the device is not left powered down. Up to
// DISPATCH_LEVEL; never blocks. STATUS_PENDING when the D0 request is on its
// way, STATUS_INSUFFICIENT_RESOURCES when it is left to the retry.
[[nodiscard]] NTSTATUS RequestDevicePowerUp(DeviceExtension *Extension);

// ---- Power-up retry --------------------------------------------------------

// Initialises what wait-wake and the power-up retry need. Only from
// HandleStartDevice, before anything of this part can run; PASSIVE_LEVEL.
// Only the first call does anything.
VOID PreparePowerManagement(DeviceExtension *Extension);
// For a D0 request that could not be made (no pool for its record, or
// refused by the power manager): asks for D0 again every 100 ms, as long as
// the power manager refuses, until the device is in D0, the system has left
// the working state or the device is gone. Holds no I/O count meanwhile.
// Up to DISPATCH_LEVEL; never blocks. Nothing is armed once the device is
// Removed.
VOID RetryDevicePowerUp(DeviceExtension *Extension);
// For HandleRemoveDevice, after DeviceState is Removed: cancels an armed
// retry, or waits until its DPC has ended. PASSIVE_LEVEL; may block briefly.
VOID CancelDevicePowerUpRetry(DeviceExtension *Extension);
// PowerUpRetryTimer's DPC; context the DeviceExtension. DISPATCH_LEVEL.
VOID NTAPI PowerUpRetryDpc(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2);

// ---- Wait-wake -------------------------------------------------------------

// Arms the device for remote wake-up. Any IRQL up to DISPATCH_LEVEL; never
// blocks. STATUS_DEVICE_BUSY when a request is already outstanding (nothing
// changes), STATUS_INVALID_DEVICE_STATE while wait-wake is disarmed (nothing
// is requested), STATUS_PENDING once the request is on its way, otherwise the
// power manager's failure status (no request exists).
[[nodiscard]] NTSTATUS IssueWaitWake(DeviceExtension *Extension);
// Cancels the outstanding wait-wake request, if any. Up to DISPATCH_LEVEL;
// never blocks; the request's callback may run before or after it returns.
VOID CancelWaitWake(DeviceExtension *Extension);
// For stop, surprise removal and removal: refuses further requests until the
// next start, cancels the outstanding one and waits until its completion
// routine and callback have finished, so that neither can run on a deleted
// device or race the next start. PASSIVE_LEVEL; blocks. Harmless when no
// request exists or wait-wake is disarmed already.
VOID DisarmWaitWake(DeviceExtension *Extension);
// For HandleStartDevice, after the wait-wake fields are zeroed: requests may
// be made again. Any IRQL; never blocks.
VOID AllowWaitWake(DeviceExtension *Extension);
// Completion routine set by DispatchPower on IRP_MN_WAIT_WAKE; context the
// DeviceExtension. Returns STATUS_MORE_PROCESSING_REQUIRED when
// CancelWaitWake is to finish the IRP, otherwise lets completion go on.
NTSTATUS NTAPI WaitWakeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Power-request callback of the wait-wake request; context the
// DeviceExtension. On a wake from low power it asks for D0 and re-arms.
VOID NTAPI WaitWakeCallback(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                            PIO_STATUS_BLOCK IoStatus);
// Power-request callback that gives back the requester's I/O count; the
// context is the DeviceExtension.
VOID NTAPI ReleaseCountOnPowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                   PVOID Context, PIO_STATUS_BLOCK IoStatus);
