// The three class-specific requests: read block and read from the interface,
// write to the recipient Other.
#include "driver/Driver.h"
#include "driver/PoolPointer.h"
#include "driver/UrbBuilders.h"
#include "io/ControlAnswers.h"
#include "io/Io.h"

namespace {

using ClassRequest = struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST;

// Submits one class request with wValue and wIndex 0 and returns the bus
// status; *Received is the length the bus left in the request block.
[[nodiscard]] NTSTATUS SubmitClassRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, ULONG TransferFlags,
                                          UCHAR Request, ULONG Length, PVOID Buffer, PULONG Received)
{
    PoolPointer<URB> urb(AllocateNonPaged<URB>(sizeof(ClassRequest)));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildClassRequest(urb.Get(), Function, TransferFlags, Request, Buffer, Length);
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb.Get());
    *Received = urb->UrbControlVendorClassRequest.TransferBufferLength;
    return status;
}

constexpr ULONG InFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

}  // namespace

NTSTATUS HandleClassReadBlock(PDEVICE_OBJECT DeviceObject, ULONG OutputLength, PVOID SystemBuffer, PULONG Information)
{
    // The answer carries a 2-byte header on top of the payload.
    if (OutputLength > 0xFFFFFFFFu - 2) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG stagingLength = OutputLength + 2;
    PoolPointer<UCHAR> staging(AllocateNonPaged<UCHAR>(stagingLength));
    if (!staging) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG received = 0;
    NTSTATUS status = SubmitClassRequest(DeviceObject, URB_FUNCTION_CLASS_INTERFACE, InFlags, 0, stagingLength,
                                         staging.Get(), &received);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    // Only bytes the device sent are copied: the staging buffer is not
    // cleared, and what lies beyond the answer is old pool content.
    AnswerLength answer = CheckClassBlockAnswer(staging.Get(), stagingLength, received, OutputLength);
    switch (answer.Verdict) {
    case AnswerVerdict::Accepted:
        // With L 0 there may be no system buffer at all.
        if (answer.Length != 0) {
            RtlCopyMemory(SystemBuffer, staging.Get() + 2, answer.Length);
        }
        *Information = answer.Length;
        return STATUS_SUCCESS;
    case AnswerVerdict::TooLarge: return STATUS_INSUFFICIENT_RESOURCES;
    case AnswerVerdict::Malformed: break;
    }
    return STATUS_DEVICE_DATA_ERROR;
}

NTSTATUS HandleClassRead(PDEVICE_OBJECT DeviceObject, ULONG OutputLength, PVOID SystemBuffer, PULONG Information)
{
    ULONG received = 0;
    NTSTATUS status = SubmitClassRequest(DeviceObject, URB_FUNCTION_CLASS_INTERFACE, InFlags, 1, OutputLength,
                                         SystemBuffer, &received);
    if (status == STATUS_SUCCESS) {
        // Applications rely on the value 1 rather than the byte count; but
        // the I/O manager copies that many bytes back to the caller, so it
        // may not count a byte the device did not send.
        *Information = received == 0 || OutputLength == 0 ? 0 : 1;
    }
    return status;
}

NTSTATUS HandleClassOtherWrite(PDEVICE_OBJECT DeviceObject, ULONG OutputLength, PVOID SystemBuffer)
{
    ULONG sent = 0;
    return SubmitClassRequest(DeviceObject, URB_FUNCTION_CLASS_OTHER, 0, 2, OutputLength, SystemBuffer, &sent);
}
