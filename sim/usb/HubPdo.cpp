// The hub's PDO of a port: PnP, power and wait-wake, port status and reset,
// the idle notification and its callback, and the port's threads.
#include "sim/usb/PortState.h"

namespace vextora::usb {

namespace {

// The DDK declares the idle callback without NTAPI, so it takes the
// platform's default convention: the host's in the driver built into the
// simulator, the Windows x64 one in a kernel image, as every routine there.
void CallIdleCallback(sim::Machine &Machine, const USB_IDLE_CALLBACK_INFO &Info)
{
    if (Machine.InImage(reinterpret_cast<const void *>(Info.IdleCallback))) {
        using WindowsIdleCallback = VOID(NTAPI *)(PVOID Context);
        reinterpret_cast<WindowsIdleCallback>(Info.IdleCallback)(Info.IdleContext);
        return;
    }
    Info.IdleCallback(Info.IdleContext);
}

}  // namespace

PIRP UsbPort::Impl::TakeIdleIrp(NTSTATUS status)
{
    if (IdleIrp == nullptr) {
        return nullptr;
    }
    if (Idle == IdleState::CallbackRunning) {
        if (!IdleDeferred) {
            IdleDeferred = status;
        }
        return nullptr;
    }
    if (IoSetCancelRoutine(IdleIrp, nullptr) == nullptr) {
        return nullptr;  // its cancel routine completes it
    }
    PIRP irp = IdleIrp;
    IdleIrp = nullptr;
    Idle = IdleState::None;
    IdleDeferred.reset();
    return irp;
}

PIRP UsbPort::Impl::TakeWaitWakeIrp()
{
    if (WaitWakeIrp == nullptr || IoSetCancelRoutine(WaitWakeIrp, nullptr) == nullptr) {
        return nullptr;
    }
    PIRP irp = WaitWakeIrp;
    WaitWakeIrp = nullptr;
    return irp;
}

VOID NTAPI UsbPort::Impl::CancelIdle(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Impl &p = Of(device);
    {
        std::lock_guard lock(p.M);
        if (p.IdleIrp != irp) {
            return;
        }
        if (p.Idle == IdleState::CallbackRunning) {
            // Completed by the hub thread when the callback has returned:
            // the driver's callback context must outlive the callback.
            p.IdleCancelRequested = true;
            return;
        }
        p.IdleIrp = nullptr;
        p.Idle = IdleState::None;
        p.IdleDeferred.reset();
    }
    CompleteIrp(irp, STATUS_CANCELLED);
}

VOID NTAPI UsbPort::Impl::CancelWaitWake(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Impl &p = Of(device);
    {
        std::lock_guard lock(p.M);
        if (p.WaitWakeIrp != irp) {
            return;
        }
        p.WaitWakeIrp = nullptr;
        p.Disarm();
    }
    PoStartNextPowerIrp(irp);
    CompleteIrp(irp, STATUS_CANCELLED);
}

void UsbPort::Impl::Disarm()
{
    if (Connected && Port.model_->RemoteWakeupEnabled()) {
        SetupPacket clear{0x00, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_REMOTE_WAKEUP, 0, 0};
        (void)StackRequest(clear);
    }
}

void UsbPort::Impl::HubBody()
{
    tPortThread = this;
    for (;;) {
        LARGE_INTEGER timeout;
        PLARGE_INTEGER wait = nullptr;
        if (ReapPdo()) {
            return;
        }
        {
            std::lock_guard lock(M);
            if (Stopping) {
                return;
            }
            if (Removed && !Connected) {
                timeout.QuadPart = -10'000;  // look again in a millisecond
                wait = &timeout;
            } else if (Idle == IdleState::Waiting && Power == PowerDeviceD0) {
                const uint64_t now = Machine.Now();
                if (now < IdleDue) {
                    timeout.QuadPart = -static_cast<LONGLONG>(IdleDue - now);
                    wait = &timeout;
                } else {
                    timeout.QuadPart = 0;
                    wait = &timeout;
                }
            }
        }
        if (wait == nullptr || wait->QuadPart != 0) {
            (void)KeWaitForSingleObject(&HubEvent, Executive, KernelMode, FALSE, wait);
        }
        USB_IDLE_CALLBACK_INFO info{};
        PDRIVER_OBJECT driver = nullptr;
        PDEVICE_OBJECT device = nullptr;
        {
            std::lock_guard lock(M);
            if (Stopping) {
                return;
            }
            // The hub suspends only a device that is in D0.
            if (Idle != IdleState::Waiting || Machine.Now() < IdleDue || IdleIrp == nullptr || Power != PowerDeviceD0) {
                continue;
            }
            Idle = IdleState::CallbackRunning;
            info = IdleInfo;
            driver = IdleDriver;
            device = IdleDevice;
            IdleCallbacks++;
        }
        Machine.SchedulingPoint("the hub's idle notification callback", device);
        {
            // The callback is driver code: it runs at PASSIVE_LEVEL and
            // may block until the device has reached its low-power state.
            sim::FrameScope frame(sim::FrameKind::Other, driver, device, nullptr,
                                  reinterpret_cast<const void *>(info.IdleCallback));
            CallIdleCallback(Machine, info);
        }
        PIRP complete = nullptr;
        NTSTATUS status = STATUS_SUCCESS;
        {
            std::lock_guard lock(M);
            Idle = IdleState::CallbackDone;
            if (IdleCancelRequested) {
                complete = IdleIrp;  // its cancel routine has already run
                status = STATUS_CANCELLED;
            } else if (IdleDeferred) {
                status = *IdleDeferred;
                if (IoSetCancelRoutine(IdleIrp, nullptr) != nullptr) {
                    complete = IdleIrp;
                }
            }
            if (complete != nullptr) {
                IdleIrp = nullptr;
                Idle = IdleState::None;
                IdleCancelRequested = false;
                IdleDeferred.reset();
            }
        }
        if (complete != nullptr) {
            CompleteIrp(complete, status);
        }
    }
}

NTSTATUS NTAPI UsbPort::Impl::DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    Impl &p = Of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: return p.SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto *out = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (out == nullptr) {
            CompleteIrp(irp, STATUS_INVALID_PARAMETER);
            return STATUS_INVALID_PARAMETER;
        }
        {
            std::lock_guard lock(p.M);
            *out = (p.Connected ? USBD_PORT_CONNECTED : 0) | (p.Connected && p.Enabled ? USBD_PORT_ENABLED : 0);
        }
        CompleteIrp(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: return p.ResetPort(irp);
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION: return p.SubmitIdle(irp, stack);
    default: {
        const NTSTATUS status = STATUS_NOT_SUPPORTED;
        CompleteIrp(irp, status);
        return status;
    }
    }
}

NTSTATUS UsbPort::Impl::ResetPort(PIRP irp)
{
    NTSTATUS status = STATUS_SUCCESS;
    TransferList done;
    {
        std::lock_guard lock(M);
        if (!Connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else if (Power != PowerDeviceD0) {
            status = STATUS_DEVICE_POWERED_OFF;
        } else {
            done = FailTransfers([](const Transfer &) { return true; }, USBD_STATUS_CANCELED);
            {
                InsideModel inside(this);
                Port.model_->OnPortReset();
            }
            Enabled = true;
            // The hub restores the configuration after the reset, so the
            // client's pipe handles stay valid.
            if (Configured) {
                SetupPacket set{0x00, USB_REQUEST_SET_CONFIGURATION, ConfigurationValue, 0, 0};
                (void)StackRequest(set);
            }
        }
    }
    CompleteTransfers(done);
    CompleteIrp(irp, status);
    return status;
}

NTSTATUS UsbPort::Impl::SubmitIdle(PIRP irp, PIO_STACK_LOCATION stack)
{
    auto *info = static_cast<PUSB_IDLE_CALLBACK_INFO>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    // The callback runs as code of the driver on top of the stack.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Port.pdo_);
    PDRIVER_OBJECT topDriver = top->DriverObject;
    ObDereferenceObject(top);
    NTSTATUS status = STATUS_PENDING;
    {
        std::lock_guard lock(M);
        if (Options.Idle == IdleSupport::NotSupported) {
            status = STATUS_NOT_SUPPORTED;
        } else if (info == nullptr ||
                   stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(USB_IDLE_CALLBACK_INFO) ||
                   info->IdleCallback == nullptr) {
            status = STATUS_INVALID_PARAMETER;
        } else if (!Connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else if (IdleIrp != nullptr) {
            status = STATUS_DEVICE_BUSY;
        } else if (Power != PowerDeviceD0) {
            status = STATUS_POWER_STATE_INVALID;
        } else {
            IdleIrp = irp;
            IdleInfo = *info;
            IdleDevice = top;
            IdleDriver = topDriver;
            Idle = IdleState::Waiting;
            IdleCancelRequested = false;
            IdleDeferred.reset();
            IdleDue = Machine.Now() + static_cast<uint64_t>(Options.IdleDelay.count() / 100);
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelIdle);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                IdleIrp = nullptr;
                Idle = IdleState::None;
                status = STATUS_CANCELLED;
            }
        }
    }
    if (status == STATUS_PENDING) {
        WakeHub();
        return STATUS_PENDING;
    }
    CompleteIrp(irp, status);
    return status == STATUS_CANCELLED ? STATUS_PENDING : status;
}

NTSTATUS NTAPI UsbPort::Impl::DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    Impl &p = Of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        std::lock_guard lock(p.M);
        status = p.Connected ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
        break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE: status = STATUS_SUCCESS; break;
    case IRP_MN_SURPRISE_REMOVAL:
        p.EndPendingWork(STATUS_CANCELLED);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        p.EndPendingWork(STATUS_CANCELLED);
        bool gone;
        TransferList done;
        {
            std::lock_guard lock(p.M);
            p.Removed = true;
            gone = !p.Connected;
            // Nothing may stay pending on a removed stack.
            done = p.FailTransfers([](const Transfer &) { return true; }, USBD_STATUS_CANCELED);
        }
        CompleteTransfers(done);
        CompleteIrp(irp, STATUS_SUCCESS);
        if (gone) {
            // The device has left the bus: its PDO goes with the removal,
            // once the function driver has detached from it.
            p.WakeHub();
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps == nullptr || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        p.FillCapabilities(caps);
        status = STATUS_SUCCESS;
        break;
    }
    default: break;  // not ours to answer: the status stays as it came
    }
    CompleteIrp(irp, status, irp->IoStatus.Information);
    return status;
}

void UsbPort::Impl::FillCapabilities(PDEVICE_CAPABILITIES caps)
{
    const bool wake = Port.model_->Configuration().RemoteWakeup();
    caps->DeviceD1 = 1;
    caps->DeviceD2 = 1;
    caps->Removable = 1;
    caps->SurpriseRemovalOK = 1;
    caps->UniqueID = Port.model_->Descriptors().Device[16] != 0 ? 1 : 0;
    caps->WakeFromD0 = wake ? 1 : 0;
    caps->WakeFromD1 = wake ? 1 : 0;
    caps->WakeFromD2 = wake ? 1 : 0;
    caps->WakeFromD3 = 0;
    caps->Address = Port.number_;
    caps->UINumber = Port.number_;
    for (int s = 0; s < PowerSystemMaximum; s++) {
        caps->DeviceState[s] = Options.DeviceState[s];
    }
    caps->SystemWake = wake ? Options.SystemWake : PowerSystemUnspecified;
    caps->DeviceWake = wake ? Options.DeviceWake : PowerDeviceUnspecified;
}

void UsbPort::Impl::EndPendingWork(NTSTATUS idleStatus)
{
    PIRP idle;
    PIRP waitWake;
    {
        std::lock_guard lock(M);
        idle = TakeIdleIrp(idleStatus);
        waitWake = TakeWaitWakeIrp();
    }
    if (idle) {
        CompleteIrp(idle, idleStatus);
    }
    if (waitWake) {
        PoStartNextPowerIrp(waitWake);
        CompleteIrp(waitWake, STATUS_NO_SUCH_DEVICE);
    }
}

bool UsbPort::Impl::ReapPdo()
{
    {
        std::lock_guard lock(M);
        if (!Removed || Connected || PdoDeleted) {
            return false;
        }
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Port.pdo_);
    const bool alone = top == Port.pdo_;
    ObDereferenceObject(top);
    if (!alone) {
        return false;
    }
    {
        std::lock_guard lock(M);
        PdoDeleted = true;
        Stopping = true;
    }
    {
        sim::FrameScope frame(sim::FrameKind::Other, Port.bus_.driver_, Port.pdo_);
        IoDeleteDevice(Port.pdo_);
    }
    Wake();
    return true;
}

NTSTATUS NTAPI UsbPort::Impl::DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    Impl &p = Of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE: return p.WaitWake(irp, stack);
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState) {
            p.SetDevicePower(stack->Parameters.Power.State.DeviceState);
        }
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER: status = STATUS_SUCCESS; break;
    default: break;
    }
    PoStartNextPowerIrp(irp);
    CompleteIrp(irp, status, irp->IoStatus.Information);
    return status;
}

void UsbPort::Impl::SetDevicePower(DEVICE_POWER_STATE state)
{
    PIRP idle = nullptr;
    NTSTATUS idleStatus = STATUS_SUCCESS;
    bool kick = false;
    {
        std::lock_guard lock(M);
        const DEVICE_POWER_STATE old = Power;
        Power = state;
        if (state == PowerDeviceD0 && old != PowerDeviceD0) {
            if (Connected) {
                InsideModel inside(this);
                Port.model_->OnResume();
            }
            Kicked = true;
            kick = true;
            // The device is back in D0: the idle notification has done
            // its work.
            if (Idle == IdleState::CallbackDone || Idle == IdleState::CallbackRunning) {
                idle = TakeIdleIrp(STATUS_SUCCESS);
            }
        } else if (state != PowerDeviceD0 && old == PowerDeviceD0) {
            if (Connected) {
                InsideModel inside(this);
                Port.model_->OnSuspend();
            }
        }
        if (state == PowerDeviceD3) {
            idleStatus = STATUS_POWER_STATE_INVALID;
            idle = TakeIdleIrp(idleStatus);
        }
    }
    POWER_STATE ps;
    ps.DeviceState = state;
    (void)PoSetPowerState(Port.pdo_, DevicePowerState, ps);
    if (idle) {
        CompleteIrp(idle, idleStatus);
    }
    if (kick) {
        Wake();
        WakeHub();
    }
}

NTSTATUS UsbPort::Impl::WaitWake(PIRP irp, PIO_STACK_LOCATION stack)
{
    NTSTATUS status = STATUS_PENDING;
    {
        std::lock_guard lock(M);
        if (!Connected) {
            status = STATUS_NO_SUCH_DEVICE;
        } else if (WaitWakeIrp != nullptr) {
            status = STATUS_DEVICE_BUSY;
        } else if (!Port.model_->Configuration().RemoteWakeup() || Options.DeviceWake == PowerDeviceUnspecified) {
            status = STATUS_NOT_SUPPORTED;
        } else if (stack->Parameters.WaitWake.PowerState > Options.SystemWake) {
            status = STATUS_INVALID_DEVICE_STATE;
        } else {
            // Arming is SET_FEATURE(DEVICE_REMOTE_WAKEUP) (USB 2.0, 9.4.9).
            SetupPacket arm{0x00, USB_REQUEST_SET_FEATURE, USB_FEATURE_REMOTE_WAKEUP, 0, 0};
            (void)StackRequest(arm);
            WaitWakeIrp = irp;
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelWaitWake);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                WaitWakeIrp = nullptr;
                Disarm();
                status = STATUS_CANCELLED;
            }
        }
    }
    if (status == STATUS_PENDING) {
        return STATUS_PENDING;
    }
    PoStartNextPowerIrp(irp);
    CompleteIrp(irp, status);
    return status == STATUS_CANCELLED ? STATUS_PENDING : status;
}

NTSTATUS NTAPI UsbPort::Impl::DispatchSystemControl(PDEVICE_OBJECT, PIRP irp)
{
    const NTSTATUS status = irp->IoStatus.Status;
    CompleteIrp(irp, status, irp->IoStatus.Information);
    return status;
}

NTSTATUS NTAPI UsbPort::Impl::DispatchOther(PDEVICE_OBJECT, PIRP irp)
{
    CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void UsbPort::Impl::DeletePdo()
{
    StopThreads();
    bool del = false;
    {
        std::lock_guard lock(M);
        del = !PdoDeleted;
        PdoDeleted = true;
    }
    if (del) {
        sim::FrameScope frame(sim::FrameKind::Other, Port.bus_.driver_, Port.pdo_);
        IoDeleteDevice(Port.pdo_);
    }
}

void UsbPort::Impl::StopThreads()
{
    sim::SimThread *hc;
    sim::SimThread *hub;
    {
        std::lock_guard lock(M);
        Stopping = true;
        hc = HcThread;
        hub = HubThread;
        HcThread = nullptr;
        HubThread = nullptr;
    }
    if (hc == nullptr && hub == nullptr) {
        return;
    }
    if (tPortThread == this) {
        // Called from one of the port's own threads (a device that vanished
        // mid-transfer): they are told to stop and joined at shutdown.
        std::lock_guard lock(M);
        HcThread = hc;
        HubThread = hub;
        Wake();
        WakeHub();
        return;
    }
    std::unique_ptr<sim::ThreadScope> scope;
    if (sim::Machine::CurrentOrNull() != &Machine) {
        scope = std::make_unique<sim::ThreadScope>(Machine, "usb-shutdown");
    }
    Wake();
    WakeHub();
    if (hc) {
        Machine.Join(hc);
    }
    if (hub) {
        Machine.Join(hub);
    }
}

}  // namespace vextora::usb
