// Plug and Play dispatch, device states and device configuration.
#pragma once

#include "driver/DeviceExtension.h"

// ---- Dispatch --------------------------------------------------------------

// IRP_MJ_PNP. PASSIVE_LEVEL, one PnP request at a time; the handlers block.
// Takes one I/O count per request (none on a removed device) and routes the
// minor function to its handler. Completes the request itself (start,
// capabilities, a cancel in its pending state; Information 0, the handler's
// status) or leaves it passed down by the handler or, for a minor function
// without a handler, passes it down here untouched, and returns what the
// lower driver returned. On a removed device: completes with and returns
// STATUS_DELETE_PENDING.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---- Handlers --------------------------------------------------------------
// Called only by DispatchPnp with its I/O count held, at PASSIVE_LEVEL; every
// one may block. "Passes the IRP down" means: with the status given, skipping
// this driver's stack location; the IRP then belongs to the lower drivers and
// the handler returns the lower driver's status.

// IRP_MN_START_DEVICE. Waits for the lower drivers, then reads the
// descriptors and configures the device. The IRP comes back not completed;
// DispatchPnp completes it with the returned status. On success the device
// is configured, its interface enabled, DeviceState is Working, wait-wake is
// armed when the configuration supports remote wake-up and idle detection
// is started. On failure (the lower drivers' status, a configuration status,
// or the interface's) DeviceState is unchanged and nothing is started. A
// device that is started already keeps its configuration, handles, wait-wake
// request and idle detection; only the lower drivers see the start, and a
// pending query ends in Working as a cancel would end it.
[[nodiscard]] NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MN_QUERY_STOP_DEVICE and IRP_MN_QUERY_REMOVE_DEVICE. Enter PendingStop
// or PendingRemove, give DispatchPnp's count back, abort the transfers the
// bus holds and wait until every request admitted before has finished
// (NoIoInFlightEvent, set by the last DecrementIoCount), then pass the IRP
// down with STATUS_SUCCESS. They never fail.
[[nodiscard]] NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MN_CANCEL_STOP_DEVICE and IRP_MN_CANCEL_REMOVE_DEVICE. In the matching
// pending state (PendingStop, PendingRemove) they wait for the lower drivers
// and return the IRP not completed with their status, for DispatchPnp to
// complete; on success the state before the query is restored. Otherwise
// they pass the IRP down with STATUS_SUCCESS.
[[nodiscard]] NTSTATUS HandleCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS HandleCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MN_STOP_DEVICE. Stops idle detection and wait-wake (waiting until a
// wait-wake request has ended), enters Stopped, frees the configuration
// records and unconfigures the device, then passes the IRP down with the
// unconfigure request's status. The device interface stays enabled and no
// pipe is aborted: the query-stop drained in-flight I/O.
[[nodiscard]] NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MN_SURPRISE_REMOVAL. Never fails: cancels wait-wake and waits until its
// request has ended, stops idle detection, enters SurpriseRemoved, disables
// and frees the interface link, deregisters WMI and aborts the pipes with
// open handles, then passes the IRP down with STATUS_SUCCESS. The
// configuration records stay until the removal.
[[nodiscard]] NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MN_REMOVE_DEVICE. Does what a surprise removal does unless one came
// first, enters Removed, gives back DispatchPnp's count and the base count
// and waits until every outstanding request, a wait-wake request and a
// power-up retry included, has finished (RemoveReadyEvent, set by the last
// DecrementIoCount). Frees the configuration records, passes the IRP down
// with STATUS_SUCCESS, detaches and deletes the FDO; the DeviceExtension
// ends with it, so nothing of it may be touched once this returns.
[[nodiscard]] NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MN_QUERY_CAPABILITIES. The IRP comes back not completed; DispatchPnp
// completes it with the returned status. A structure of Version 0 or below
// 64 bytes fails with STATUS_UNSUCCESSFUL without going down. Otherwise the
// lower drivers are waited for and their status returns; on their success
// Capabilities holds their answer with SurpriseRemovalOK set. IdlePowerState
// is derived in every case that went down.
[[nodiscard]] NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---- Passing requests down (pnp/PassDown.cpp) ------------------------------

// Sets the IRP's status to Status and Information to 0 and passes it to
// LowerDevice, skipping this driver's stack location. Any IRQL the request
// allows. The IRP belongs to the lower drivers afterwards; returns the lower
// driver's status.
[[nodiscard]] NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status);
// Sends the IRP to LowerDevice with SignalEventCompletion and waits for the
// lower drivers. PASSIVE_LEVEL, blocks until they complete it. Returns their
// status; the IRP is this driver's again, not completed.
[[nodiscard]] NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Completion routine of ForwardAndWait, any IRQL up to DISPATCH_LEVEL.
// Context is the waiter's KEVENT. Always STATUS_MORE_PROCESSING_REQUIRED:
// the IRP goes back to the waiting routine, not completed.
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// ---- Device configuration --------------------------------------------------
// PASSIVE_LEVEL, in the thread of a PnP request; they block on the bus. Each
// frees the request blocks it allocates before it returns.

// From HandleStartDevice, after the lower drivers completed the start. Reads
// the device descriptor, then configures the device (ConfigureDevice).
// Returns the first failing step's status (STATUS_INSUFFICIENT_RESOURCES, a
// bus status), else ConfigureDevice's.
[[nodiscard]] NTSTATUS ReadDescriptorsAndConfigure(PDEVICE_OBJECT DeviceObject);
// Reads the configuration descriptor at index 0 (header, then wTotalLength
// bytes) and refuses a malformed one with STATUS_DEVICE_DATA_ERROR before
// storing anything; stores it as ConfigurationDescriptor with
// RemoteWakeSupported and returns SelectInterfaces' status. Otherwise
// STATUS_INSUFFICIENT_RESOURCES or the bus status of a failed read.
[[nodiscard]] NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
// Selects ConfigurationDescriptor with every interface at alternate setting
// 0, then stores the first interface as InterfaceInfo and one zeroed open
// counter per pipe as PipeOpenCounts, in a new ConfigurationGeneration.
// Returns the selection's status; STATUS_INSUFFICIENT_RESOURCES when an
// allocation fails (what could be stored stays stored);
// STATUS_DEVICE_DATA_ERROR when the descriptor announces no interface, or
// more interfaces at alternate setting 0 than it holds, or the bus driver's
// interface information is too short for its own pipe count.
[[nodiscard]] NTSTATUS SelectInterfaces(PDEVICE_OBJECT DeviceObject,
                                        PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
// From HandleStopDevice, after ReleaseConfiguration: puts the device back in
// the unconfigured state. Returns the request's status, or
// STATUS_INSUFFICIENT_RESOURCES.
[[nodiscard]] NTSTATUS DeconfigureDevice(PDEVICE_OBJECT DeviceObject);
// From surprise removal, and removal without one. Sends an abort to every
// pipe with an open handle, in index order, and zeroes the counter of each
// that was aborted. STATUS_SUCCESS (also when some aborts failed), or
// STATUS_INSUFFICIENT_RESOURCES at the first pipe for which no request could
// be sent.
[[nodiscard]] NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject);
// From stop, removal and start; never blocks. Detaches ConfigurationDescriptor, InterfaceInfo and PipeOpenCounts under
// ConfigurationLock, so that a create or close racing it sees either all of
// them or none, moves to a new ConfigurationGeneration and frees them after
// the lock is dropped. A second call frees nothing.
VOID ReleaseConfiguration(PDEVICE_OBJECT DeviceObject);
