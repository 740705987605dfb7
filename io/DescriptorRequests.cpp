// Fresh copies of the device descriptor and of string descriptors, read from
// the device for each request.
#include "driver/Driver.h"
#include "driver/PoolPointer.h"
#include "driver/UrbBuilders.h"
#include "io/ControlAnswers.h"
#include "io/Io.h"

namespace {

using DescriptorRequest = struct _URB_CONTROL_DESCRIPTOR_REQUEST;

constexpr ULONG DeviceDescriptorLength = 18;
constexpr ULONG StringProbeLength = 4;

[[nodiscard]] NTSTATUS ReturnAnswer(AnswerLength Answer, const UCHAR *Source, ULONG OutputLength, PVOID SystemBuffer,
                                    PULONG Information)
{
    if (Answer.Verdict != AnswerVerdict::Accepted) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    if (OutputLength < Answer.Length) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(SystemBuffer, Source, Answer.Length);
    *Information = Answer.Length;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS HandleGetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, ULONG OutputLength, PVOID SystemBuffer,
                                   PULONG Information)
{
    PoolPointer<UCHAR> descriptor(AllocateNonPaged<UCHAR>(DeviceDescriptorLength));
    if (!descriptor) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PoolPointer<URB> urb(AllocateNonPaged<URB>(sizeof(DescriptorRequest)));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildDescriptorRequest(urb.Get(), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor.Get(), DeviceDescriptorLength);
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb.Get());
    if (status != STATUS_SUCCESS) {
        return status;
    }
    ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    // The caller's buffer is checked first: a request that could never
    // succeed says so whatever the device answered.
    if (OutputLength < DeviceDescriptorLength) {
        return STATUS_INVALID_PARAMETER;
    }
    AnswerLength answer{received >= DeviceDescriptorLength ? AnswerVerdict::Accepted : AnswerVerdict::Malformed,
                        DeviceDescriptorLength};
    return ReturnAnswer(answer, descriptor.Get(), OutputLength, SystemBuffer, Information);
}

NTSTATUS HandleGetStringDescriptor(PDEVICE_OBJECT DeviceObject, ULONG OutputLength, PVOID SystemBuffer,
                                   PULONG Information)
{
    PoolPointer<URB> urb(AllocateNonPaged<URB>(sizeof(DescriptorRequest)));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const UCHAR *input = static_cast<const UCHAR *>(SystemBuffer);
    const UCHAR index = input[0];
    const USHORT languageId = static_cast<USHORT>(input[2] | (input[3] << 8));

    // The first read learns bLength only.
    UCHAR probe[StringProbeLength] = {};
    BuildDescriptorRequest(urb.Get(), USB_STRING_DESCRIPTOR_TYPE, index, languageId, probe, StringProbeLength);
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb.Get());
    if (status != STATUS_SUCCESS) {
        return status;
    }
    AnswerLength size =
        CheckStringDescriptorProbe(probe, StringProbeLength, urb->UrbControlDescriptorRequest.TransferBufferLength);
    if (size.Verdict != AnswerVerdict::Accepted) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    PoolPointer<UCHAR> descriptor(AllocateNonPaged<UCHAR>(size.Length));
    if (!descriptor) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildDescriptorRequest(urb.Get(), USB_STRING_DESCRIPTOR_TYPE, index, languageId, descriptor.Get(), size.Length);
    status = SubmitUrbSync(DeviceObject, urb.Get());
    if (status != STATUS_SUCCESS) {
        return status;
    }
    // The device may answer differently the second time; only what it sent
    // this time, within the buffer sized by the first answer, is returned.
    AnswerLength answer = CheckStringDescriptorAnswer(descriptor.Get(), size.Length,
                                                      urb->UrbControlDescriptorRequest.TransferBufferLength);
    return ReturnAnswer(answer, descriptor.Get(), OutputLength, SystemBuffer, Information);
}
