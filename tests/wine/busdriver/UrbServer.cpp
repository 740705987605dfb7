#include "tests/wine/busdriver/UrbServer.h"

namespace vxbus {
namespace {

void SetUrbStatus(PURB urb, USBD_STATUS status) { urb->UrbHeader.Status = status; }

NTSTATUS NtStatusFor(USBD_STATUS status)
{
    if (status == USBD_STATUS_SUCCESS)
        return STATUS_SUCCESS;
    if (status == USBD_STATUS_INVALID_PARAMETER || status == USBD_STATUS_INVALID_PIPE_HANDLE ||
        status == USBD_STATUS_INVALID_URB_FUNCTION || status == USBD_STATUS_INTERFACE_NOT_FOUND ||
        status == USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR)
        return STATUS_INVALID_PARAMETER;
    if (status == USBD_STATUS_DEVICE_GONE)
        return STATUS_DEVICE_NOT_CONNECTED;
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS Finish(PURB urb, USBD_STATUS status)
{
    SetUrbStatus(urb, status);
    return NtStatusFor(status);
}

// The transfer buffer of a URB: the MDL's system address when there is one.
uint8_t *Buffer(PVOID buffer, PMDL mdl)
{
    if (mdl != nullptr)
        return static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    return static_cast<uint8_t *>(buffer);
}

// A pipe handle names the record's slot and the configuration generation it
// was given out in, so a handle from a released configuration never matches
// the record that now sits in its slot.
USBD_PIPE_HANDLE MakePipeHandle(ULONG slot, ULONG generation)
{
    return reinterpret_cast<USBD_PIPE_HANDLE>((static_cast<ULONG_PTR>(generation) << 4) | (slot + 1));
}

Port::Pipe *PipeFrom(Port *child, USBD_PIPE_HANDLE handle)
{
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
    const ULONG_PTR slot = (value & 0xF) - 1;
    if ((value & 0xF) == 0 || slot >= child->PipeCount || (value >> 4) != child->Generation ||
        child->Pipes[slot].Generation != child->Generation)
        return nullptr;
    return &child->Pipes[slot];
}

NTSTATUS SelectConfiguration(Port *child, PURB urb)
{
    auto &select = urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Length < sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION))
        return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
    ++child->Generation;
    child->PipeCount = 0;
    if (select.ConfigurationDescriptor == nullptr) {
        child->Device->Configure(0);
        return Finish(urb, USBD_STATUS_SUCCESS);
    }
    const PUSB_CONFIGURATION_DESCRIPTOR config = select.ConfigurationDescriptor;
    if (config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->bConfigurationValue != child->Device->Described().Configuration[5])
        return Finish(urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

    // The interface records follow one another up to the end of the URB.
    auto *at = reinterpret_cast<uint8_t *>(&select.Interface);
    const uint8_t *end = reinterpret_cast<uint8_t *>(urb) + urb->UrbHeader.Length;
    ULONG interfaces = 0;
    while (at + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) <= end && interfaces < config->bNumInterfaces) {
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        if (info->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) || at + info->Length > end)
            return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
        const uint8_t *descriptor = child->Device->FindInterface(info->InterfaceNumber, info->AlternateSetting);
        if (descriptor == nullptr)
            return Finish(urb, USBD_STATUS_INTERFACE_NOT_FOUND);
        const ULONG pipes = descriptor[4];
        if (info->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION) ||
            child->PipeCount + pipes > sizeof child->Pipes / sizeof child->Pipes[0])
            return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
        info->Class = descriptor[5];
        info->SubClass = descriptor[6];
        info->Protocol = descriptor[7];
        info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
            static_cast<ULONG_PTR>(0x1000 + child->Generation * 0x100 + info->InterfaceNumber));
        info->NumberOfPipes = pipes;
        for (ULONG k = 0; k < pipes; ++k) {
            const uint8_t *endpoint = child->Device->FindEndpoint(descriptor, k);
            if (endpoint == nullptr)
                return Finish(urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
            USBD_PIPE_INFORMATION &pipe = info->Pipes[k];
            pipe.EndpointAddress = endpoint[2];
            pipe.MaximumPacketSize = static_cast<USHORT>((endpoint[4] | (endpoint[5] << 8)) & 0x7FF);
            pipe.Interval = endpoint[6];
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint[3] & 0x3);
            const ULONG slot = child->PipeCount++;
            Port::Pipe &record = child->Pipes[slot];
            record.Address = endpoint[2];
            record.Generation = child->Generation;
            pipe.PipeHandle = MakePipeHandle(slot, child->Generation);
            if (pipe.MaximumTransferSize == 0)
                pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        at += info->Length;
        ++interfaces;
    }
    if (interfaces == 0)
        return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(
        static_cast<ULONG_PTR>(0x100 + child->Generation));
    child->Device->Configure(config->bConfigurationValue);
    return Finish(urb, USBD_STATUS_SUCCESS);
}

// A control transfer on the default pipe; `in` is the data direction.
NTSTATUS ControlTransfer(Port *child, PURB urb, const vxbus::Setup &setup, bool in, bool shortOk,
                         PVOID buffer, PMDL mdl, ULONG *length)
{
    if (*length > 0xFFFF)
        return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
    uint8_t *data = *length != 0 ? Buffer(buffer, mdl) : nullptr;
    if (*length != 0 && data == nullptr)
        return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
    vxbus::Setup sized = setup;
    sized.Length = static_cast<uint16_t>(*length);
    const vxbus::Outcome outcome = child->Device->Control(sized, data, *length);
    if (outcome.Stalled) {
        *length = 0;
        return Finish(urb, USBD_STATUS_STALL_PID);
    }
    const ULONG asked = *length;
    *length = outcome.Bytes;
    // Without USBD_SHORT_TRANSFER_OK a short answer ends the transfer in
    // error, as on a real host controller.
    if (in && outcome.Bytes < asked && !shortOk)
        return Finish(urb, USBD_STATUS_ERROR_SHORT_TRANSFER);
    return Finish(urb, USBD_STATUS_SUCCESS);
}

}  // namespace

USBD_PIPE_HANDLE TransferPipe(PURB urb)
{
    if (urb == nullptr || urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        return nullptr;
    return urb->UrbBulkOrInterruptTransfer.PipeHandle;
}

NTSTATUS SubmitUrb(Port *child, PURB urb)
{
    if (urb == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (!child->Connected)
        return Finish(urb, USBD_STATUS_DEVICE_GONE);
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(child, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        // No endpoint ever halts; the transfers an abort ends are the
        // caller's.
        return Finish(urb, PipeFrom(child, urb->UrbPipeRequest.PipeHandle) != nullptr
                               ? USBD_STATUS_SUCCESS
                               : USBD_STATUS_INVALID_PIPE_HANDLE);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto &transfer = urb->UrbBulkOrInterruptTransfer;
        Port::Pipe *pipe = PipeFrom(child, transfer.PipeHandle);
        if (pipe == nullptr)
            return Finish(urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        const bool in = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (in != ((pipe->Address & 0x80) != 0))
            return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
        uint8_t *data = transfer.TransferBufferLength != 0
                            ? Buffer(transfer.TransferBuffer, transfer.TransferBufferMDL)
                            : nullptr;
        if (transfer.TransferBufferLength != 0 && data == nullptr)
            return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
        const vxbus::Outcome outcome = child->Device->Transfer(pipe->Address, data, transfer.TransferBufferLength);
        if (outcome.Nak)
            return STATUS_PENDING;
        if (outcome.Stalled) {
            transfer.TransferBufferLength = 0;
            return Finish(urb, USBD_STATUS_STALL_PID);
        }
        const ULONG asked = transfer.TransferBufferLength;
        transfer.TransferBufferLength = outcome.Bytes;
        if (in && outcome.Bytes < asked && (transfer.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0)
            return Finish(urb, USBD_STATUS_ERROR_SHORT_TRANSFER);
        return Finish(urb, USBD_STATUS_SUCCESS);
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto &request = urb->UrbControlDescriptorRequest;
        const vxbus::Setup setup = {0x80, USB_REQUEST_GET_DESCRIPTOR,
                                    static_cast<uint16_t>((request.DescriptorType << 8) | request.Index),
                                    request.LanguageId, 0};
        return ControlTransfer(child, urb, setup, true, true, request.TransferBuffer, request.TransferBufferMDL,
                               &request.TransferBufferLength);
    }
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER: {
        auto &request = urb->UrbControlVendorClassRequest;
        const USHORT function = urb->UrbHeader.Function;
        uint8_t recipient = 0;
        uint8_t type = 2;
        switch (function) {
        case URB_FUNCTION_CLASS_DEVICE: type = 1; recipient = 0; break;
        case URB_FUNCTION_CLASS_INTERFACE: type = 1; recipient = 1; break;
        case URB_FUNCTION_CLASS_ENDPOINT: type = 1; recipient = 2; break;
        case URB_FUNCTION_CLASS_OTHER: type = 1; recipient = 3; break;
        case URB_FUNCTION_VENDOR_DEVICE: recipient = 0; break;
        case URB_FUNCTION_VENDOR_INTERFACE: recipient = 1; break;
        case URB_FUNCTION_VENDOR_ENDPOINT: recipient = 2; break;
        default: recipient = 3; break;
        }
        const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        const vxbus::Setup setup = {
            static_cast<uint8_t>((in ? 0x80 : 0) | (type << 5) | recipient | request.RequestTypeReservedBits),
            request.Request, request.Value, request.Index, 0};
        return ControlTransfer(child, urb, setup, in, (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0,
                               request.TransferBuffer, request.TransferBufferMDL, &request.TransferBufferLength);
    }
    default:
        return Finish(urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

}  // namespace vxbus
