// The request blocks the driver sends to the bus, one builder per kind. Each
// zero-fills the block for its kind and fills it; the caller owns the block,
// which must be at least that kind's size, before and after. Any IRQL.
// Where the USB driver library has a macro for a kind, the builder uses it.
#pragma once

#include "platform/Platform.h"

// URB_FUNCTION_ABORT_PIPE or URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL.
// Takes the pipe request itself, so that it may live on the stack.
inline void BuildPipeRequest(struct _URB_PIPE_REQUEST *Request, USHORT Function, USBD_PIPE_HANDLE PipeHandle)
{
    RtlZeroMemory(Request, sizeof(*Request));
    Request->Hdr.Length = sizeof(*Request);
    Request->Hdr.Function = Function;
    Request->PipeHandle = PipeHandle;
}

// GET_DESCRIPTOR from the device into Buffer, which is non-paged and holds
// Length bytes.
inline void BuildDescriptorRequest(PURB Urb, UCHAR DescriptorType, UCHAR Index, USHORT LanguageId, PVOID Buffer,
                                   ULONG Length)
{
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), DescriptorType, Index, LanguageId,
                                 Buffer, nullptr, Length, nullptr);
}

// SELECT_CONFIGURATION without a descriptor: back to the unconfigured state
// (USB 2.0, 9.4.7).
inline void BuildDeconfigureRequest(PURB Urb)
{
    RtlZeroMemory(Urb, sizeof(struct _URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(Urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
}

// A bulk or interrupt transfer of Length bytes described by Mdl, short
// transfers allowed. The status starts as USBD_STATUS_PENDING: the bus
// replaces it with its verdict once it has seen the transfer.
inline void BuildTransferRequest(PURB Urb, USBD_PIPE_HANDLE PipeHandle, bool In, PMDL Mdl, ULONG Length)
{
    RtlZeroMemory(Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), PipeHandle, nullptr,
                                           Mdl, Length, USBD_SHORT_TRANSFER_OK | (In ? USBD_TRANSFER_DIRECTION_IN : 0),
                                           nullptr);
    Urb->UrbHeader.Status = USBD_STATUS_PENDING;
}

// A class request (Function URB_FUNCTION_CLASS_INTERFACE, _OTHER, ...) with
// wValue and wIndex 0 over Length bytes of the non-paged Buffer.
inline void BuildClassRequest(PURB Urb, USHORT Function, ULONG TransferFlags, UCHAR Request, PVOID Buffer, ULONG Length)
{
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UsbBuildVendorRequest(Urb, Function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), TransferFlags, 0, Request,
                          0, 0, Buffer, nullptr, Length, nullptr);
}
