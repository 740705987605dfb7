#include "tests/io/BusTap.h"

#include <map>

namespace iotest {

namespace {
std::mutex tapsLock;
std::map<PDRIVER_OBJECT, BusTap *> taps;

BusTap *TapOf(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard lock(tapsLock);
    return taps.at(DeviceObject->DriverObject);
}
}  // namespace

BusTap::BusTap(sim::Machine &) {}

BusTap::~BusTap()
{
    if (bus_ != nullptr) {
        bus_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = original_;
        std::lock_guard lock(tapsLock);
        taps.erase(bus_);
    }
}

void BusTap::Install(PDRIVER_OBJECT BusDriver)
{
    bus_ = BusDriver;
    {
        std::lock_guard lock(tapsLock);
        taps[bus_] = this;
    }
    original_ = bus_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL];
    bus_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &BusTap::Dispatch;
}

std::vector<BusCall> BusTap::Calls()
{
    std::lock_guard lock(mutex_);
    return calls_;
}

void BusTap::ClearCalls()
{
    std::lock_guard lock(mutex_);
    calls_.clear();
}

std::vector<BusCall> BusTap::Urbs(USHORT Function)
{
    std::vector<BusCall> out;
    for (const BusCall &call : Calls()) {
        if (call.Code == IOCTL_INTERNAL_USB_SUBMIT_URB && call.UrbFunction == Function) {
            out.push_back(call);
        }
    }
    return out;
}

ULONG BusTap::MakeKey(ULONG Code, USHORT UrbFunction)
{
    return Code == IOCTL_INTERNAL_USB_SUBMIT_URB ? (Code << 8) ^ UrbFunction : Code;
}

std::vector<ULONG> BusTap::Sequence()
{
    std::vector<ULONG> out;
    for (const BusCall &call : Calls()) {
        out.push_back(MakeKey(call.Code, call.UrbFunction));
    }
    return out;
}

void BusTap::SetTransferMode(TransferMode Mode, NTSTATUS Status)
{
    std::lock_guard lock(mutex_);
    mode_ = Mode;
    failStatus_ = Status;
}

size_t BusTap::HeldCount()
{
    std::lock_guard lock(mutex_);
    return held_.size();
}

bool BusTap::ReleaseHeld(NTSTATUS Status, ULONG Bytes)
{
    PIRP irp = nullptr;
    {
        std::lock_guard lock(mutex_);
        while (!held_.empty() && irp == nullptr) {
            PIRP candidate = held_.front();
            held_.pop_front();
            // A NULL cancel routine means a cancel is completing it.
            if (IoSetCancelRoutine(candidate, nullptr) != nullptr) {
                irp = candidate;
            }
        }
    }
    if (irp == nullptr) {
        return false;
    }
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Bytes;
    Finish(irp, Status);
    return true;
}

void BusTap::AnswerResetPipe(std::optional<NTSTATUS> Status)
{
    std::lock_guard lock(mutex_);
    resetPipe_ = Status;
}

void BusTap::AnswerPortStatus(std::optional<ULONG> PortBits)
{
    std::lock_guard lock(mutex_);
    portBits_ = PortBits;
}

void BusTap::AnswerClassInterface(std::optional<NTSTATUS> Status)
{
    std::lock_guard lock(mutex_);
    classInterface_ = Status;
}

NTSTATUS BusTap::Finish(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

VOID NTAPI BusTap::CancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    BusTap *tap = TapOf(DeviceObject);
    {
        std::lock_guard lock(tap->mutex_);
        for (auto it = tap->held_.begin(); it != tap->held_.end(); ++it) {
            if (*it == Irp) {
                tap->held_.erase(it);
                break;
            }
        }
    }
    Finish(Irp, STATUS_CANCELLED);
}

NTSTATUS BusTap::DispatchInternal(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    BusCall call;
    call.Code = stack->Parameters.DeviceIoControl.IoControlCode;
    PURB urb = nullptr;
    if (call.Code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        call.UrbFunction = urb->UrbHeader.Function;
        call.UrbLength = urb->UrbHeader.Length;
        switch (call.UrbFunction) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto &t = urb->UrbBulkOrInterruptTransfer;
            call.Pipe = t.PipeHandle;
            call.TransferFlags = t.TransferFlags;
            call.TransferLength = t.TransferBufferLength;
            call.TransferBuffer = t.TransferBuffer;
            call.Mdl = t.TransferBufferMDL;
            if (call.Mdl != nullptr) {
                call.MdlAddress = MmGetMdlVirtualAddress(call.Mdl);
                call.MdlBytes = MmGetMdlByteCount(call.Mdl);
                call.MdlIsPartial = (call.Mdl->MdlFlags & MDL_PARTIAL) != 0;
            }
            break;
        }
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_OTHER:
            call.TransferFlags = urb->UrbControlVendorClassRequest.TransferFlags;
            call.TransferLength = urb->UrbControlVendorClassRequest.TransferBufferLength;
            call.TransferBuffer = urb->UrbControlVendorClassRequest.TransferBuffer;
            break;
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            call.Pipe = urb->UrbPipeRequest.PipeHandle;
            break;
        default:
            break;
        }
    }

    TransferMode mode;
    NTSTATUS failStatus;
    std::optional<NTSTATUS> resetPipe;
    std::optional<ULONG> portBits;
    std::optional<NTSTATUS> classInterface;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        mode = mode_;
        failStatus = failStatus_;
        resetPipe = resetPipe_;
        portBits = portBits_;
        classInterface = classInterface_;
    }

    if (call.Code == IOCTL_INTERNAL_USB_SUBMIT_URB && call.UrbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        if (mode == TransferMode::FailAtOnce) {
            return Finish(Irp, failStatus);
        }
        if (mode == TransferMode::Hold) {
            IoMarkIrpPending(Irp);
            bool cancelNow = false;
            {
                std::lock_guard lock(mutex_);
                held_.push_back(Irp);
                IoSetCancelRoutine(Irp, &BusTap::CancelHeld);
                if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
                    held_.pop_back();
                    cancelNow = true;
                }
            }
            if (cancelNow) {
                Finish(Irp, STATUS_CANCELLED);
            }
            return STATUS_PENDING;
        }
    }
    if (call.Code == IOCTL_INTERNAL_USB_SUBMIT_URB && call.UrbFunction == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL &&
        resetPipe) {
        return Finish(Irp, *resetPipe);
    }
    if (call.Code == IOCTL_INTERNAL_USB_SUBMIT_URB && call.UrbFunction == URB_FUNCTION_CLASS_INTERFACE &&
        classInterface) {
        urb->UrbControlVendorClassRequest.TransferBufferLength = 0;
        return Finish(Irp, *classInterface);
    }
    if (call.Code == IOCTL_INTERNAL_USB_GET_PORT_STATUS && portBits) {
        *static_cast<PULONG>(stack->Parameters.Others.Argument1) = *portBits;
        return Finish(Irp, STATUS_SUCCESS);
    }
    if (call.Code == IOCTL_INTERNAL_USB_RESET_PORT && portBits) {
        return Finish(Irp, STATUS_SUCCESS);
    }
    return original_(DeviceObject, Irp);
}

NTSTATUS NTAPI BusTap::Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return TapOf(DeviceObject)->DispatchInternal(DeviceObject, Irp);
}

}  // namespace iotest
