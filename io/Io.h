// Application I/O: handles, bulk and interrupt transfers, control requests.
#pragma once

#include "driver/DeviceExtension.h"
#include "include/vextora.h"

// The public header is what applications compile against; the driver serves
// exactly those codes and limits.
static_assert(IOCTL_GET_CONFIG_DESCRIPTOR == 0x220000u && IOCTL_GET_STRING_DESCRIPTOR == 0x22001Cu,
              "control codes are 0x220000 + 4 * function");
static_assert(VEXTORA_MAX_TRANSFER_BYTES == MaxTransferBytes, "public transfer limit");
static_assert(VEXTORA_PIPE_SLOT_LIMIT == PipeSlotLimit, "public pipe slot limit");

// One read or write that has been sent down; allocated by DispatchReadWrite,
// freed by ReadWriteCompletion together with what it owns.
struct TransferContext {
    PURB Urb;                    // owning: the bulk or interrupt transfer request
    PMDL Mdl;                    // owning: partial MDL over the caller's buffer
    DeviceExtension *Extension;  // the device whose I/O count the transfer holds
};

// IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP. PASSIVE_LEVEL, in the thread of
// the request; never block. Each completes its IRP (Information 0) before
// returning and passes nothing down.
//
// DispatchCreate returns the status it completed with: STATUS_SUCCESS,
// STATUS_INVALID_DEVICE_STATE (not Working, or not configured),
// STATUS_INVALID_PARAMETER (no file object; a name that names no openable
// pipe), STATUS_ACCESS_DENIED (the device or that pipe is already open).
// On success a pipe handle's FsContext is its USBD_PIPE_INFORMATION and its
// FsContext2 the ConfigurationGeneration it was opened under (shifted left by
// one; bit 0 is the cleanup's mark); a device handle's FsContext is NULL and
// its FsContext2 marks it as accepted.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Always STATUS_SUCCESS, in every device state. A pipe handle from an earlier
// configuration lowers no counter of the present one, and a file object whose
// create was refused lowers none at all.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Always STATUS_SUCCESS, in every device state. On a pipe handle of the
// present configuration it first ends the handle's transfers with the bus
// (they complete with STATUS_CANCELLED) and marks the handle, so that no
// transfer starts on it afterwards. Blocks for the abort.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The mark DispatchCleanup leaves on a pipe handle. Any IRQL up to
// DISPATCH_LEVEL. HandleCleanedUp is FALSE for a device handle.
VOID MarkHandleCleanedUp(PFILE_OBJECT FileObject);
[[nodiscard]] BOOLEAN HandleCleanedUp(PFILE_OBJECT FileObject);

// What a handle's file object is, for the request paths.
enum class HandleKind {
    Device,     // no file object, or FsContext NULL
    Pipe,       // a pipe of the present configuration
    StalePipe,  // a pipe handle opened on a configuration since released
};
// Classifies FileObject and, for HandleKind::Pipe, stores its pipe. Any IRQL
// up to DISPATCH_LEVEL; never blocks. The caller holds an I/O count taken
// before it last saw DeviceState Working: that keeps the configuration, and
// so the stored pipe, from being released until the count is given back.
[[nodiscard]] HandleKind PipeOfHandle(DeviceExtension *Extension, PFILE_OBJECT FileObject,
                                      PUSBD_PIPE_INFORMATION *Pipe);

// IRP_MJ_READ and IRP_MJ_WRITE. PASSIVE_LEVEL; may block (idle wait, resets).
// Returns STATUS_PENDING once the transfer has gone down: the IRP then belongs
// to the lower driver and ReadWriteCompletion finishes it. Otherwise completes
// the IRP with Information 0 and returns STATUS_INVALID_DEVICE_STATE,
// STATUS_INVALID_HANDLE (device handle, stale pipe handle, pipe neither bulk
// nor interrupt), STATUS_INVALID_PARAMETER (a read on an OUT endpoint, a write
// on an IN endpoint, more than MaxTransferBytes), STATUS_CANCELLED (the
// handle's cleanup has run), STATUS_INSUFFICIENT_RESOURCES, or STATUS_SUCCESS
// for a length of 0.
NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Completion routine of a transfer; IRQL <= DISPATCH_LEVEL, any thread, never
// blocks. Frees the TransferContext given as Context with its URB and MDL,
// gives back the transfer's I/O count and returns the IRP's status, so
// completion goes on upward. Information is the bytes the bus says it moved,
// on failure too (never more than the caller's buffer).
NTSTATUS NTAPI ReadWriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// IRP_MJ_DEVICE_CONTROL. PASSIVE_LEVEL; blocks on the bus. Completes the IRP
// before returning and returns the status it completed with (see
// include/vextora.h for each code's statuses and Information).
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The handlers of the class and descriptor requests. PASSIVE_LEVEL, called by
// DispatchDeviceControl while it holds an I/O count; they block in
// SubmitUrbSync. OutputLength is the request's output length L and
// SystemBuffer its system buffer (at least L bytes; NULL only when L is 0).
// Every request block and buffer they allocate is freed before they return.
// *Information is written only on success and stays within OutputLength.
// Statuses: STATUS_SUCCESS; STATUS_INSUFFICIENT_RESOURCES (no pool, or for
// HandleClassReadBlock an answer larger than L); STATUS_INVALID_PARAMETER
// (L too small for the descriptor, or too large for the request);
// STATUS_DEVICE_DATA_ERROR (a malformed answer); or the bus request's status
// when it is anything but STATUS_SUCCESS.
[[nodiscard]] NTSTATUS HandleClassReadBlock(PDEVICE_OBJECT DeviceObject, ULONG OutputLength, PVOID SystemBuffer,
                                            PULONG Information);
[[nodiscard]] NTSTATUS HandleClassRead(PDEVICE_OBJECT DeviceObject, ULONG OutputLength, PVOID SystemBuffer,
                                       PULONG Information);
// Sends the first OutputLength bytes of SystemBuffer; the caller has checked
// that the application's input covers them.
[[nodiscard]] NTSTATUS HandleClassOtherWrite(PDEVICE_OBJECT DeviceObject, ULONG OutputLength, PVOID SystemBuffer);
[[nodiscard]] NTSTATUS HandleGetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, ULONG OutputLength, PVOID SystemBuffer,
                                                 PULONG Information);
// Reads the index from byte 0 and the LANGID from bytes 2 and 3 of
// SystemBuffer; the caller has checked that the application passed 4 bytes.
[[nodiscard]] NTSTATUS HandleGetStringDescriptor(PDEVICE_OBJECT DeviceObject, ULONG OutputLength, PVOID SystemBuffer,
                                                 PULONG Information);
