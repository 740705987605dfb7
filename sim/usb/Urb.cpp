// URB intake and validation: what IOCTL_INTERNAL_USB_SUBMIT_URB does before
// a transfer reaches the host controller, and the requests the stack answers
// itself (configuration and interface selection, pipe abort and reset).
#include <algorithm>

#include "sim/usb/PortState.h"

namespace vextora::usb {

namespace {

constexpr uintptr_t kPipeTag = 0x7A00000000000000ull;
constexpr uintptr_t kInterfaceTag = 0x7B00000000000000ull;
constexpr uintptr_t kConfigurationTag = 0x7C00000000000000ull;

PVOID Token(uintptr_t tag, uint64_t serial) { return reinterpret_cast<PVOID>(tag | serial); }

// Windows 2000's USB driver (and Windows 98's and Me's) refuses a transfer
// longer than the MaximumTransferSize its pipe was selected with; from
// Windows XP on the stack ignores the field. The machine's WDM version says
// which release is being played (1.20 is Windows XP).
bool EnforcesMaximumTransferSize(const sim::Machine &Machine)
{
    const sim::MachineOptions &options = Machine.Options();
    return options.WdmMajor == 1 && options.WdmMinor < 0x20;
}

// The buffer of a transfer: TransferBuffer or TransferBufferMDL, exactly
// one of them when there is data.
USBD_STATUS ResolveBuffer(ULONG length, PVOID buffer, PMDL mdl, UCHAR **data, bool *throughMdl)
{
    *data = nullptr;
    *throughMdl = false;
    if (buffer != nullptr && mdl != nullptr) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (length == 0) {
        return USBD_STATUS_SUCCESS;
    }
    if (mdl != nullptr) {
        if (MmGetMdlByteCount(mdl) < length) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        *data = static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        *throughMdl = true;
        return *data ? USBD_STATUS_SUCCESS : USBD_STATUS_INSUFFICIENT_RESOURCES;
    }
    if (buffer == nullptr) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    *data = static_cast<UCHAR *>(buffer);
    return USBD_STATUS_SUCCESS;
}

// An interface information the client filled for iface, offset bytes into
// a URB of urbLength bytes: long enough for iface's pipes, inside the URB,
// and with pipe flags the stack knows.
USBD_STATUS CheckInterfaceInformation(const USBD_INTERFACE_INFORMATION &info, const InterfaceInfo &iface, size_t offset,
                                      USHORT urbLength)
{
    if (info.Length < GET_USBD_INTERFACE_SIZE(iface.Endpoints.size()) || offset + info.Length > urbLength) {
        return USBD_STATUS_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < iface.Endpoints.size(); i++) {
        if (info.Pipes[i].PipeFlags & ~static_cast<ULONG>(USBD_PF_VALID_MASK)) {
            return USBD_STATUS_INAVLID_PIPE_FLAGS;
        }
    }
    return USBD_STATUS_SUCCESS;
}

}  // namespace

PVOID UsbPort::Impl::NewToken(uintptr_t tag) { return Token(tag, NextSerial++); }

NTSTATUS UsbPort::Impl::Refuse(PIRP irp, PURB urb, USBD_STATUS usbd)
{
    {
        std::lock_guard lock(M);
        RecordRefusalLocked(urb, usbd);
    }
    const NTSTATUS status = NtStatusFor(usbd);
    CompleteIrp(irp, status);
    return status;
}

void UsbPort::Impl::RecordRefusalLocked(PURB urb, USBD_STATUS usbd)
{
    urb->UrbHeader.Status = usbd;
    if (Options.RecordUrbs) {
        UrbRecord rec;
        rec.Function = urb->UrbHeader.Function;
        rec.Length = urb->UrbHeader.Length;
        rec.UsbdStatus = usbd;
        rec.IrpStatus = NtStatusFor(usbd);
        rec.CompletionIrql = KeGetCurrentIrql();
        Records.push_back(rec);
    }
}

NTSTATUS UsbPort::Impl::Succeed(PIRP irp, PURB urb) { return Refuse(irp, urb, USBD_STATUS_SUCCESS); }

NTSTATUS UsbPort::Impl::SubmitUrb(PIRP irp, PURB urb)
{
    if (urb == nullptr) {
        CompleteIrp(irp, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    if (!Connected.load(std::memory_order_acquire)) {
        return Refuse(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    // Every URB but the two selections has one size, which its header's
    // Length must give.
    struct Handler {
        USHORT Function;
        USHORT Size;
        NTSTATUS (Impl::*Run)(PIRP, PURB);
    };
    static constexpr Handler kHandlers[] = {
        {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), &Impl::DataTransfer},
        {URB_FUNCTION_SELECT_CONFIGURATION, 0, &Impl::SelectConfiguration},
        {URB_FUNCTION_SELECT_INTERFACE, 0, &Impl::SelectInterface},
        {URB_FUNCTION_ABORT_PIPE, sizeof(_URB_PIPE_REQUEST), &Impl::PipeRequest},
        {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sizeof(_URB_PIPE_REQUEST), &Impl::PipeRequest},
        {URB_FUNCTION_SYNC_RESET_PIPE, sizeof(_URB_PIPE_REQUEST), &Impl::PipeRequest},
        {URB_FUNCTION_SYNC_CLEAR_STALL, sizeof(_URB_PIPE_REQUEST), &Impl::PipeRequest},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_GET_STATUS_FROM_DEVICE, sizeof(_URB_CONTROL_GET_STATUS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, sizeof(_URB_CONTROL_GET_STATUS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, sizeof(_URB_CONTROL_GET_STATUS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_GET_STATUS_FROM_OTHER, sizeof(_URB_CONTROL_GET_STATUS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_VENDOR_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_VENDOR_ENDPOINT, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_VENDOR_OTHER, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_CLASS_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_CLASS_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_CLASS_ENDPOINT, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_CLASS_OTHER, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &Impl::ControlTransfer},
        {URB_FUNCTION_CONTROL_TRANSFER, sizeof(_URB_CONTROL_TRANSFER), &Impl::ControlTransfer},
    };
    for (const Handler &h : kHandlers) {
        if (h.Function == urb->UrbHeader.Function) {
            if (h.Size != 0 && urb->UrbHeader.Length != h.Size) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            return (this->*h.Run)(irp, urb);
        }
    }
    return Refuse(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
}

NTSTATUS UsbPort::Impl::SelectConfiguration(PIRP irp, PURB urb)
{
    auto &sel = urb->UrbSelectConfiguration;
    const USHORT length = urb->UrbHeader.Length;
    if (sel.ConfigurationDescriptor == nullptr) {
        if (length < sizeof(struct _URB_SELECT_CONFIGURATION)) {
            return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        TransferList done;
        {
            std::lock_guard lock(M);
            done = Unconfigure();
            SetupPacket set{0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
            (void)StackRequest(set);
            CaptureStackControl(URB_FUNCTION_SELECT_CONFIGURATION, set, USBD_STATUS_SUCCESS);
        }
        CompleteTransfers(done);
        return Succeed(irp, urb);
    }

    PUSB_CONFIGURATION_DESCRIPTOR desc = sel.ConfigurationDescriptor;
    ConfigurationInfo given;
    try {
        given =
            ParseConfiguration(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(desc), desc->wTotalLength));
    } catch (const DescriptorError &) {
        return Refuse(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    }
    const ConfigurationInfo &device = Port.model_->Configuration();
    if (given.Value != device.Value || given.DeclaredInterfaces == 0) {
        return Refuse(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    }

    // One interface information per interface of the configuration, each
    // Length bytes long, all inside the URB.
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const InterfaceInfo *>> entries;
    size_t offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    for (unsigned k = 0; k < given.DeclaredInterfaces; k++) {
        if (offset + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) > length) {
            return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR *>(urb) + offset);
        const InterfaceInfo *iface = device.Find(info->InterfaceNumber, info->AlternateSetting);
        if (iface == nullptr) {
            return Refuse(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
        }
        for (const auto &e : entries) {
            if (e.second->Number == iface->Number) {
                return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
        }
        if (const USBD_STATUS usbd = CheckInterfaceInformation(*info, *iface, offset, length);
            usbd != USBD_STATUS_SUCCESS) {
            return Refuse(irp, urb, usbd);
        }
        entries.emplace_back(info, iface);
        offset += info->Length;
    }

    TransferList done;
    bool ok = true;
    {
        std::lock_guard lock(M);
        done = Unconfigure();
        SetupPacket set{0x00, USB_REQUEST_SET_CONFIGURATION, given.Value, 0, 0};
        ok = StackRequest(set).Kind == Outcome::Done;
        for (const auto &[info, iface] : entries) {
            if (!ok) {
                break;
            }
            if (iface->AlternateSetting != 0) {
                SetupPacket alt{0x01, USB_REQUEST_SET_INTERFACE, iface->AlternateSetting, iface->Number, 0};
                ok = StackRequest(alt).Kind == Outcome::Done;
            }
            OpenInterface(*info, *iface);
        }
        if (ok) {
            Configured = true;
            ConfigurationValue = given.Value;
            ConfigurationHandle = NewToken(kConfigurationTag);
            sel.ConfigurationHandle = ConfigurationHandle;
        } else {
            Pipes.clear();
        }
        CaptureStackControl(URB_FUNCTION_SELECT_CONFIGURATION, set,
                            ok ? USBD_STATUS_SUCCESS : USBD_STATUS_SET_CONFIG_FAILED);
    }
    CompleteTransfers(done);
    return ok ? Succeed(irp, urb) : Refuse(irp, urb, USBD_STATUS_SET_CONFIG_FAILED);
}

TransferList UsbPort::Impl::Unconfigure()
{
    auto done = FailTransfers([](const Transfer &t) { return !t.IsControl; }, USBD_STATUS_CANCELED);
    Pipes.clear();
    Timing.ClearEndpoints();
    Configured = false;
    ConfigurationValue = 0;
    ConfigurationHandle = nullptr;
    return done;
}

NTSTATUS UsbPort::Impl::SelectInterface(PIRP irp, PURB urb)
{
    auto &sel = urb->UrbSelectInterface;
    const USHORT length = urb->UrbHeader.Length;
    if (length <
        FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
        return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    PUSBD_INTERFACE_INFORMATION info = &sel.Interface;
    const InterfaceInfo *iface = Port.model_->Configuration().Find(info->InterfaceNumber, info->AlternateSetting);
    TransferList done;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    {
        std::lock_guard lock(M);
        if (!Configured || sel.ConfigurationHandle != ConfigurationHandle) {
            usbd = USBD_STATUS_INVALID_PARAMETER;
        } else if (iface == nullptr) {
            usbd = USBD_STATUS_INTERFACE_NOT_FOUND;
        } else {
            usbd =
                CheckInterfaceInformation(*info, *iface, FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface), length);
        }
        if (usbd == USBD_STATUS_SUCCESS) {
            const uint8_t number = iface->Number;
            done = FailTransfers(
                [this, number](const Transfer &t) {
                    auto it = Pipes.find(t.PipeHandle);
                    return !t.IsControl && it != Pipes.end() && it->second.Interface == number;
                },
                USBD_STATUS_CANCELED);
            std::erase_if(Pipes, [number](const auto &entry) { return entry.second.Interface == number; });
            SetupPacket alt{0x01, USB_REQUEST_SET_INTERFACE, iface->AlternateSetting, number, 0};
            if (StackRequest(alt).Kind != Outcome::Done) {
                usbd = USBD_STATUS_STALL_PID;
            } else {
                OpenInterface(*info, *iface);
            }
            CaptureStackControl(URB_FUNCTION_SELECT_INTERFACE, alt, usbd);
        }
    }
    CompleteTransfers(done);
    return usbd == USBD_STATUS_SUCCESS ? Succeed(irp, urb) : Refuse(irp, urb, usbd);
}

void UsbPort::Impl::OpenInterface(USBD_INTERFACE_INFORMATION &info, const InterfaceInfo &iface)
{
    info.Class = iface.Class;
    info.SubClass = iface.SubClass;
    info.Protocol = iface.Protocol;
    info.InterfaceHandle = NewToken(kInterfaceTag);
    info.NumberOfPipes = static_cast<ULONG>(iface.Endpoints.size());
    for (size_t i = 0; i < iface.Endpoints.size(); i++) {
        const EndpointInfo &ep = iface.Endpoints[i];
        USBD_PIPE_INFORMATION &pipe = info.Pipes[i];
        pipe.MaximumPacketSize = ep.MaxPacketSize;
        pipe.EndpointAddress = ep.Address;
        pipe.Interval = ep.Interval;
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(ep.Type());
        pipe.PipeHandle = NewToken(kPipeTag);
        Pipes[pipe.PipeHandle] = Pipe{ep, pipe.PipeType, pipe.MaximumTransferSize, iface.Number};
        Timing.AddEndpoint(ep);
    }
}

NTSTATUS UsbPort::Impl::PipeRequest(PIRP irp, PURB urb)
{
    const PVOID handle = urb->UrbPipeRequest.PipeHandle;
    TransferList done;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    {
        std::lock_guard lock(M);
        auto it = Pipes.find(handle);
        if (it == Pipes.end()) {
            usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
        } else if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
            done = FailTransfers([handle](const Transfer &t) { return t.PipeHandle == handle; }, USBD_STATUS_CANCELED);
            InsideModel inside(this);
            Port.model_->OnAbort(it->second.Endpoint.Address);
        } else {
            // A pipe reset with transfers still queued on it is refused:
            // the caller aborts the pipe first.
            const bool busy = std::any_of(Transfers.begin(), Transfers.end(),
                                          [handle](const auto &t) { return t->PipeHandle == handle; });
            if (busy) {
                usbd = USBD_STATUS_ERROR_BUSY;
            } else if (!Enabled) {
                usbd = USBD_STATUS_DEV_NOT_RESPONDING;
            } else if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_RESET_PIPE) {
                // Clearing the halt is a CLEAR_FEATURE(ENDPOINT_HALT) on
                // the wire (USB 2.0, 9.4.1).
                SetupPacket clear{0x02, USB_REQUEST_CLEAR_FEATURE, 0, it->second.Endpoint.Address, 0};
                (void)StackRequest(clear);
            }
        }
        if (Pcap && it != Pipes.end()) {
            Pcap->PipeRequest(Device(), Pcap->NewIrpId(), CaptureNs(), urb->UrbHeader.Function,
                              it->second.Endpoint.Address, usbd);
        }
    }
    CompleteTransfers(done);
    return usbd == USBD_STATUS_SUCCESS ? Succeed(irp, urb) : Refuse(irp, urb, usbd);
}

template <typename AdmitFn> NTSTATUS UsbPort::Impl::Start(std::unique_ptr<Transfer> owned, AdmitFn &&Admit)
{
    Transfer &t = *owned;
    std::unique_ptr<Transfer> now;
    bool unplug = false;
    bool kick = false;
    USBD_STATUS refused = USBD_STATUS_SUCCESS;
    {
        std::lock_guard lock(M);
        refused = Admit(t);
        if (refused != USBD_STATUS_SUCCESS) {
            RecordRefusalLocked(t.Urb, refused);
        } else {
            if (!Connected) {
                SetResult(t, USBD_STATUS_DEVICE_GONE, 0);
            } else if (!Enabled) {
                SetResult(t, USBD_STATUS_DEV_NOT_RESPONDING, 0);
            } else if (Power != PowerDeviceD0) {
                SetResult(t, USBD_STATUS_DEV_NOT_RESPONDING, 0);
                t.Status = STATUS_DEVICE_POWERED_OFF;
            }
            if (t.HasResult) {
                Record(t, false);
                now = std::move(owned);
            } else {
                CaptureSubmit(t);
                if (Options.Completion == CompletionMode::Inline) {
                    // The model cannot call back into the port, so no
                    // one can look for the transfer while it runs: one
                    // that completes at once never joins Transfers.
                    Attempt(t);
                    unplug = t.Disconnect;
                }
                if (t.HasResult && t.DelayNs == 0) {
                    Record(t, false);
                    now = std::move(owned);
                } else {
                    Transfers.push_back(std::move(owned));
                    now = Pend(t);
                }
                kick = Kicked || (t.State == TransferState::Queued);
            }
        }
    }
    if (refused != USBD_STATUS_SUCCESS) {
        const NTSTATUS status = NtStatusFor(refused);
        CompleteIrp(t.Irp, status);
        return status;
    }
    if (kick) {
        Wake();
    }
    if (unplug) {
        Disconnect();
    }
    if (now) {
        const NTSTATUS status = now->Status;
        const bool pended = now->Pended;
        CompleteIrp(now->Irp, status);
        return pended ? STATUS_PENDING : status;
    }
    return STATUS_PENDING;
}

NTSTATUS UsbPort::Impl::DataTransfer(PIRP irp, PURB urb)
{
    auto &x = urb->UrbBulkOrInterruptTransfer;
    auto t = std::make_unique<Transfer>();
    t->Irp = irp;
    t->Urb = urb;
    // The pipe is looked up in the same hold of M that starts the
    // transfer: one acquisition per transfer instead of two.
    return Start(std::move(t), [&](Transfer &t) {
        auto it = Pipes.find(x.PipeHandle);
        if (it == Pipes.end()) {
            return USBD_STATUS_INVALID_PIPE_HANDLE;
        }
        if (it->second.Type != UsbdPipeTypeBulk && it->second.Type != UsbdPipeTypeInterrupt) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        if (x.TransferFlags & ~static_cast<ULONG>(VALID_TRANSFER_FLAGS_MASK)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        if (EnforcesMaximumTransferSize(Machine) && x.TransferBufferLength > it->second.MaximumTransferSize) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        t.Endpoint = it->second.Endpoint;
        t.PipeHandle = x.PipeHandle;
        t.In = t.Endpoint.IsIn();
        if (((x.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != t.In) {
            DirectionMismatches++;
            if (Options.Direction == DirectionPolicy::Refuse) {
                return USBD_STATUS_INVALID_PARAMETER;
            }
            x.TransferFlags = (x.TransferFlags & ~static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN)) |
                              (t.In ? USBD_TRANSFER_DIRECTION_IN : 0);
        }
        const USBD_STATUS buffer =
            ResolveBuffer(x.TransferBufferLength, x.TransferBuffer, x.TransferBufferMDL, &t.Data, &t.ThroughMdl);
        if (buffer != USBD_STATUS_SUCCESS) {
            return buffer;
        }
        t.Length = x.TransferBufferLength;
        t.ShortOk = (x.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        return USBD_STATUS_SUCCESS;
    });
}

NTSTATUS UsbPort::Impl::ControlTransfer(PIRP irp, PURB urb)
{
    auto t = std::make_unique<Transfer>();
    t->Irp = irp;
    t->Urb = urb;
    t->IsControl = true;
    auto &c = urb->UrbControlTransfer;  // the common prefix of every control URB
    const USHORT function = urb->UrbHeader.Function;
    ULONG flags = c.TransferFlags;
    SetupPacket s;
    s.Length = static_cast<uint16_t>(c.TransferBufferLength);
    auto classOrVendor = [&](uint8_t type, uint8_t recipient) {
        const auto &v = urb->UrbControlVendorClassRequest;
        s.RequestType = static_cast<uint8_t>(((flags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0) | (type << 5) |
                                             recipient | v.RequestTypeReservedBits);
        s.Request = v.Request;
        s.Value = v.Value;
        s.Index = v.Index;
    };
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
        const auto &d = urb->UrbControlDescriptorRequest;
        const uint8_t recipient = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE      ? 0
                                  : function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1
                                                                                           : 2;
        s.RequestType = static_cast<uint8_t>(0x80 | recipient);
        s.Request = USB_REQUEST_GET_DESCRIPTOR;
        s.Value = static_cast<uint16_t>(d.DescriptorType << 8 | d.Index);
        s.Index = d.LanguageId;
        // The stack reads descriptors IN, and a shorter descriptor than
        // asked for is no error.
        flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        break;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
        s.RequestType = static_cast<uint8_t>(0x80 | (function - URB_FUNCTION_GET_STATUS_FROM_DEVICE));
        if (function == URB_FUNCTION_GET_STATUS_FROM_OTHER) {
            s.RequestType = 0x83;
        }
        s.Request = USB_REQUEST_GET_STATUS;
        s.Index = urb->UrbControlGetStatusRequest.Index;
        flags = USBD_TRANSFER_DIRECTION_IN;
        if (c.TransferBufferLength != 2) {
            return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        break;
    case URB_FUNCTION_VENDOR_DEVICE: classOrVendor(2, 0); break;
    case URB_FUNCTION_VENDOR_INTERFACE: classOrVendor(2, 1); break;
    case URB_FUNCTION_VENDOR_ENDPOINT: classOrVendor(2, 2); break;
    case URB_FUNCTION_VENDOR_OTHER: classOrVendor(2, 3); break;
    case URB_FUNCTION_CLASS_DEVICE: classOrVendor(1, 0); break;
    case URB_FUNCTION_CLASS_INTERFACE: classOrVendor(1, 1); break;
    case URB_FUNCTION_CLASS_ENDPOINT: classOrVendor(1, 2); break;
    case URB_FUNCTION_CLASS_OTHER: classOrVendor(1, 3); break;
    case URB_FUNCTION_CONTROL_TRANSFER: {
        const UCHAR *b = c.SetupPacket;
        s.RequestType = b[0];
        s.Request = b[1];
        s.Value = static_cast<uint16_t>(b[2] | b[3] << 8);
        s.Index = static_cast<uint16_t>(b[4] | b[5] << 8);
        s.Length = static_cast<uint16_t>(b[6] | b[7] << 8);
        if (c.PipeHandle != nullptr || (s.IsIn() != ((flags & USBD_TRANSFER_DIRECTION_IN) != 0)) ||
            s.Length != c.TransferBufferLength) {
            return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        break;
    }
    default: return Refuse(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
    if (c.TransferBufferLength > 0xffff || (flags & ~static_cast<ULONG>(VALID_TRANSFER_FLAGS_MASK))) {
        return Refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    const USBD_STATUS usbd =
        ResolveBuffer(c.TransferBufferLength, c.TransferBuffer, c.TransferBufferMDL, &t->Data, &t->ThroughMdl);
    if (usbd != USBD_STATUS_SUCCESS) {
        return Refuse(irp, urb, usbd);
    }
    t->Setup = s;
    t->In = s.IsIn();
    t->Length = c.TransferBufferLength;
    t->ShortOk = (flags & USBD_SHORT_TRANSFER_OK) != 0;
    t->Endpoint.Address = t->In ? 0x80 : 0x00;
    return Start(std::move(t));
}

NTSTATUS UsbPort::Impl::Start(std::unique_ptr<Transfer> owned)
{
    return Start(std::move(owned), [](Transfer &) { return USBD_STATUS_SUCCESS; });
}

}  // namespace vextora::usb
