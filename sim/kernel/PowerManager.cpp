#include "sim/kernel/PowerManager.h"

#include <cstdio>
#include <cstring>

#include "sim/kernel/MachineImpl.h"

namespace sim {

namespace {

const char *PowerMinorName(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_WAIT_WAKE: return "IRP_MN_WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE: return "IRP_MN_POWER_SEQUENCE";
    case IRP_MN_SET_POWER: return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER: return "IRP_MN_QUERY_POWER";
    default: return "power minor";
    }
}

struct SystemWait {
    PowerManager *Owner;
    KEVENT Done;
    NTSTATUS Status = STATUS_PENDING;
};

void SystemIrpFinished(PIRP Irp, void *Context)
{
    auto *wait = static_cast<SystemWait *>(Context);
    wait->Owner->IrpEnded(Irp);
    wait->Status = Irp->IoStatus.Status;
    IoFreeIrp(Irp);
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
}

}  // namespace

struct PowerManager::Requested {
    PowerManager *Owner = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Top = nullptr;  // referenced until the IRP is freed
    UCHAR Minor = 0;
    POWER_STATE State{};
    PREQUEST_POWER_COMPLETE Callback = nullptr;
    PVOID Context = nullptr;
    PDRIVER_OBJECT Requester = nullptr;
    size_t Index = 0;
};

namespace {

void RequestedIrpFinished(PIRP Irp, void *Context)
{
    auto *request = static_cast<PowerManager::Requested *>(Context);
    PowerManager *owner = request->Owner;
    owner->IrpEnded(Irp);
    owner->FinishRequest(request, Irp);
}

}  // namespace

PowerManager::PowerManager(Machine &machine) : machine_(machine)
{
    thread_ = std::make_unique<ManagerThread>(machine_, "power");
}

PowerManager::~PowerManager()
{
    thread_->Stop();
    // A requester's callback may release the last thread that waited for
    // this machine while the thread that ran the callback (a work item, the
    // bus driver's) is still finishing the request here: the teardown that
    // follows must not pull the manager away under it.
    std::unique_lock lock(mutex_);
    while (finishing_ != 0) {
        if (machine_.Controlled() && Machine::CurrentOrNull() == &machine_) {
            // Only the thread with the turn runs: let the one finishing have it.
            lock.unlock();
            machine_.Sleep(std::chrono::microseconds(1));
            lock.lock();
        } else {
            finished_.wait(lock);
        }
    }
}

void PowerManager::Dispatch(PDEVICE_OBJECT Device, PIRP Irp) { (void)CallDriver(Device, Irp, CallPath::PoCallDriver); }

// Windows 2000/XP: one set or query IRP of each type (system, device) at a
// time; the next waits until the driver that has the active one calls
// PoStartNextPowerIrp. The simulator applies this where power IRPs enter a
// stack, at its top device object, so the function driver never sees two at
// once; IRPs a driver passes down reach the lower device at once (queueing
// them there would hand the lower driver an IRP its caller already reported
// as pending). An IRP that enters a pageable stack above PASSIVE_LEVEL is
// dispatched from the power manager's thread.
NTSTATUS PowerManager::Call(PDEVICE_OBJECT Device, PIRP Irp)
{
    if (Device == nullptr || Irp == nullptr) {
        return CallDriver(Device, Irp, CallPath::PoCallDriver);
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_POWER) {
        machine_.ReportViolation(checks::NotAPowerIrp, Irp, Device,
                                 "PoCallDriver with an IRP that is not IRP_MJ_POWER");
        return CallDriver(Device, Irp, CallPath::PoCallDriver);
    }
    const UCHAR minor = next->MinorFunction;
    const bool serialised = minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
    // Read as a number: a faulty sender may put any value there.
    ULONG type = 0;
    std::memcpy(&type, &next->Parameters.Power.Type, sizeof(type));
    const int kind = type == DevicePowerState ? 1 : 0;
    const bool entering = Irp->CurrentLocation == Irp->StackCount + 1;
    bool queued = false;
    {
        std::lock_guard lock(mutex_);
        Tracked &tracked = tracked_[Irp];
        tracked.Serialised = serialised;
        tracked.Kind = kind;
        tracked.StartNextCalls.try_emplace(Device, 0);
        if (serialised && entering) {
            Slots &slots = slots_[Device];
            if (slots.Active[kind] != nullptr && slots.Active[kind] != Irp) {
                slots.Waiting[kind].push_back(Irp);
                queued = true;
            } else {
                slots.Active[kind] = Irp;
            }
        }
    }
    if (queued) {
        return STATUS_PENDING;
    }
    if (entering && KeGetCurrentIrql() > PASSIVE_LEVEL && (Device->Flags & DO_POWER_PAGABLE) != 0) {
        thread_->Post([this, Device, Irp] { Dispatch(Device, Irp); });
        return STATUS_PENDING;
    }
    return CallDriver(Device, Irp, CallPath::PoCallDriver);
}

void PowerManager::ReleaseSlot(PDEVICE_OBJECT Device, PIRP Irp, int Kind)
{
    PIRP nextIrp = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = slots_.find(Device);
        if (it == slots_.end() || it->second.Active[Kind] != Irp) {
            return;
        }
        Slots &slots = it->second;
        slots.Active[Kind] = nullptr;
        if (!slots.Waiting[Kind].empty()) {
            nextIrp = slots.Waiting[Kind].front();
            slots.Waiting[Kind].pop_front();
            slots.Active[Kind] = nextIrp;
        } else {
            slots_.erase(it);
        }
    }
    if (nextIrp != nullptr) {
        thread_->Post([this, Device, nextIrp] { Dispatch(Device, nextIrp); });
    }
}

void PowerManager::StartNext(PIRP Irp)
{
    bool known = false;
    {
        std::lock_guard lock(mutex_);
        known = tracked_.contains(Irp);
    }
    if (!known) {
        machine_.ReportViolation(checks::NotAPowerIrp, Irp, nullptr,
                                 "PoStartNextPowerIrp on an IRP that is not a power IRP in "
                                 "flight (never sent with PoCallDriver, or already completed)");
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        // No location is current: the IRP was completed all the way up.
        machine_.ReportViolation(checks::StartNextPowerIrpLate, Irp, nullptr,
                                 "PoStartNextPowerIrp on a power IRP that has already completed");
        return;
    }
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT device = current->DeviceObject;
    const PDRIVER_OBJECT caller = CurrentDriver();
    enum class Verdict { Fine, Unknown, Late, Repeated } verdict = Verdict::Fine;
    bool release = false;
    int kind = 0;
    {
        std::lock_guard lock(mutex_);
        ++startNextCounts_[std::make_pair(device, current->MinorFunction)];
        auto it = tracked_.find(Irp);
        if (it == tracked_.end()) {
            verdict = Verdict::Unknown;
        } else if (it->second.Serialised) {
            Tracked &tracked = it->second;
            kind = tracked.Kind;
            if (caller != nullptr && device != nullptr && device->DriverObject != caller) {
                // The calling driver passed the IRP on already; its own
                // location is no longer the current one.
                verdict = Verdict::Late;
                for (auto &[receiver, calls] : tracked.StartNextCalls) {
                    if (receiver->DriverObject == caller && calls == 0) {
                        calls = 1;
                        device = receiver;
                        release = true;
                        break;
                    }
                }
            } else {
                int &calls = tracked.StartNextCalls[device];
                if (++calls > 1) {
                    verdict = Verdict::Repeated;
                } else {
                    release = true;
                }
            }
        }
    }
    switch (verdict) {
    case Verdict::Unknown:
        machine_.ReportViolation(checks::NotAPowerIrp, Irp, device,
                                 "PoStartNextPowerIrp on an IRP that is not a power IRP sent "
                                 "with PoCallDriver or PoRequestPowerIrp");
        return;
    case Verdict::Late:
        machine_.ReportViolation(checks::StartNextPowerIrpLate, Irp, device,
                                 "PoStartNextPowerIrp called after the driver had passed the "
                                 "IRP on: the current stack location is another driver's");
        break;
    case Verdict::Repeated:
        machine_.ReportViolation(checks::StartNextPowerIrpRepeated, Irp, device,
                                 "PoStartNextPowerIrp called more than once for the same "
                                 "stack location");
        break;
    case Verdict::Fine: break;
    }
    if (release) {
        ReleaseSlot(device, Irp, kind);
    }
}

void PowerManager::IrpEnded(PIRP Irp)
{
    std::vector<PDEVICE_OBJECT> missing;
    int kind = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = tracked_.find(Irp);
        if (it == tracked_.end()) {
            return;
        }
        kind = it->second.Kind;
        if (it->second.Serialised) {
            for (auto &[receiver, calls] : it->second.StartNextCalls) {
                if (calls == 0) {
                    missing.push_back(receiver);
                }
            }
        }
        tracked_.erase(it);
    }
    for (PDEVICE_OBJECT device : missing) {
        machine_.ReportViolation(checks::StartNextPowerIrpMissing, Irp, device,
                                 "the power IRP completed without PoStartNextPowerIrp from "
                                 "this device's driver");
        // Let the next IRP through, or the stack's power requests stall.
        ReleaseSlot(device, Irp, kind);
    }
}

POWER_STATE PowerManager::SetState(PDEVICE_OBJECT Device, POWER_STATE_TYPE Type, POWER_STATE State)
{
    std::lock_guard lock(mutex_);
    history_.push_back(StateRecord{Device, Type, State});
    auto key = std::make_pair(Device, static_cast<int>(Type));
    POWER_STATE previous{};
    auto it = reported_.find(key);
    if (it != reported_.end()) {
        previous = it->second;
    } else if (Type == DevicePowerState) {
        previous.DeviceState = PowerDeviceD0;
    } else {
        previous.SystemState = PowerSystemWorking;
    }
    reported_[key] = State;
    return previous;
}

NTSTATUS PowerManager::Request(PDEVICE_OBJECT Pdo, UCHAR Minor, POWER_STATE State, PREQUEST_POWER_COMPLETE Callback,
                               PVOID Context, PIRP *Irp, const void *CallSite)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        // Windows would stop here; the simulator reports and sends nothing.
        machine_.ReportViolation(checks::PowerRequestIrql, nullptr, Pdo,
                                 "PoRequestPowerIrp called above DISPATCH_LEVEL");
        return STATUS_UNSUCCESSFUL;
    }
    if (Irp != nullptr && Minor != IRP_MN_WAIT_WAKE) {
        machine_.ReportViolation(checks::PowerRequestIrpOutParameter, nullptr, Pdo,
                                 std::string("PoRequestPowerIrp asked for the IRP of an ") + PowerMinorName(Minor) +
                                     "; only IRP_MN_WAIT_WAKE's may be kept");
    }
    if (Pdo == nullptr || (Minor != IRP_MN_SET_POWER && Minor != IRP_MN_QUERY_POWER && Minor != IRP_MN_WAIT_WAKE)) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard lock(mutex_);
        if (failNext_ != 0) {
            --failNext_;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (machine_.ShouldFail(FaultKind::PowerRequest, CallSite)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo);
    auto *request = new Requested;
    request->Owner = this;
    request->Pdo = Pdo;
    request->Top = top;
    request->Minor = Minor;
    request->State = State;
    request->Callback = Callback;
    request->Context = Context;
    request->Requester = CurrentDriver();
    PIRP irp = AllocateManagerIrp(top->StackSize, RequestedIrpFinished, request);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        delete request;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_POWER;
    location->MinorFunction = Minor;
    if (Minor == IRP_MN_WAIT_WAKE) {
        location->Parameters.WaitWake.PowerState = State.SystemState;
    } else {
        location->Parameters.Power.SystemContext = 0;
        location->Parameters.Power.Type = DevicePowerState;
        location->Parameters.Power.State = State;
        location->Parameters.Power.ShutdownType = PowerActionNone;
    }
    bool storeAfter;
    {
        std::lock_guard lock(mutex_);
        request->Index = requests_.size();
        requests_.push_back(RequestRecord{Pdo, Minor, State, STATUS_PENDING});
        storeAfter = storeIrpAfterSending_;
    }
    // By default written before the IRP can complete, so a callback or a
    // canceller always finds it.
    if (Irp != nullptr && !storeAfter) {
        *Irp = irp;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        // Requested from a completion routine or a DPC: the stack's dispatch
        // routines run in the power manager's thread.
        thread_->Post([this, top, irp] { (void)Call(top, irp); });
    } else {
        (void)Call(top, irp);
    }
    if (Irp != nullptr && storeAfter) {
        // Only the address is written: the IRP may be gone already if no
        // driver held it.
        *Irp = irp;
    }
    return STATUS_PENDING;
}

void PowerManager::FinishRequest(Requested *request, PIRP Irp)
{
    {
        std::lock_guard lock(mutex_);
        if (request->Minor < 4 && hold_[request->Minor]) {
            held_.emplace_back(request, Irp);
            return;
        }
        ++finishing_;
    }
    IO_STATUS_BLOCK status = Irp->IoStatus;
    if (request->Callback != nullptr) {
        PREQUEST_POWER_COMPLETE callback = request->Callback;
        CallInFrame(FrameKind::PowerCallback, request->Requester, request->Pdo, nullptr,
                    reinterpret_cast<const void *>(callback),
                    [&] { callback(request->Pdo, request->Minor, request->State, request->Context, &status); });
    }
    {
        std::lock_guard lock(mutex_);
        requests_[request->Index].Status = status.Status;
    }
    // Freed after the callback, as on Windows. The callback may release a
    // removal and the driver's unload meanwhile; the unload's leak check
    // leaves a finished IRP in the power manager's hands alone.
    IoFreeIrp(Irp);
    ObDereferenceObject(request->Top);
    delete request;
    std::lock_guard lock(mutex_);
    if (--finishing_ == 0) {
        finished_.notify_all();
    }
}

NTSTATUS PowerManager::SendSystemIrp(PDEVICE_OBJECT Pdo, UCHAR Minor, SYSTEM_POWER_STATE State)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo);
    SystemWait wait{this, {}, STATUS_PENDING};
    KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
    PIRP irp = AllocateManagerIrp(top->StackSize, SystemIrpFinished, &wait);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_POWER;
    location->MinorFunction = Minor;
    location->Parameters.Power.SystemContext = 0;
    location->Parameters.Power.Type = SystemPowerState;
    location->Parameters.Power.State.SystemState = State;
    location->Parameters.Power.ShutdownType = State == PowerSystemWorking     ? PowerActionNone
                                              : State == PowerSystemHibernate ? PowerActionHibernate
                                              : State == PowerSystemShutdown  ? PowerActionShutdown
                                                                              : PowerActionSleep;
    (void)Call(top, irp);
    (void)KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(top);
    return wait.Status;
}

NTSTATUS PowerManager::SetSystemPower(PDEVICE_OBJECT Pdo, SYSTEM_POWER_STATE State)
{
    if (State == PowerSystemWorking) {
        return SendSystemIrp(Pdo, IRP_MN_SET_POWER, PowerSystemWorking);
    }
    const NTSTATUS query = SendSystemIrp(Pdo, IRP_MN_QUERY_POWER, State);
    if (!NT_SUCCESS(query)) {
        // Windows tells the stack the query is off by setting the state the
        // system stays in.
        (void)SendSystemIrp(Pdo, IRP_MN_SET_POWER, PowerSystemWorking);
        return query;
    }
    return SendSystemIrp(Pdo, IRP_MN_SET_POWER, State);
}

std::vector<PowerManager::RequestRecord> PowerManager::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<PowerManager::StateRecord> PowerManager::StateHistory() const
{
    std::lock_guard lock(mutex_);
    return history_;
}

void PowerManager::FailNextRequests(unsigned Count)
{
    std::lock_guard lock(mutex_);
    failNext_ = Count;
}

void PowerManager::HoldCompletions(UCHAR Minor, bool Hold)
{
    std::lock_guard lock(mutex_);
    if (Minor < 4) {
        hold_[Minor] = Hold;
    }
}

size_t PowerManager::HeldCount() const
{
    std::lock_guard lock(mutex_);
    return held_.size();
}

void PowerManager::ReleaseHeld()
{
    std::vector<std::pair<Requested *, PIRP>> held;
    {
        std::lock_guard lock(mutex_);
        held.swap(held_);
        for (bool &hold : hold_) {
            hold = false;
        }
    }
    for (auto &[request, irp] : held) {
        FinishRequest(request, irp);
    }
}

void PowerManager::StoreRequestedIrpAfterSending(bool After)
{
    std::lock_guard lock(mutex_);
    storeIrpAfterSending_ = After;
}

unsigned PowerManager::StartNextCount(PDEVICE_OBJECT Device, UCHAR Minor) const
{
    std::lock_guard lock(mutex_);
    auto it = startNextCounts_.find(std::make_pair(Device, Minor));
    return it == startNextCounts_.end() ? 0 : it->second;
}

void PowerManager::WaitIdle() { thread_->WaitIdle(); }

}  // namespace sim

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    sim::Machine::Current().SchedulingPoint("PoCallDriver", Irp);
    return sim::Machine::Current().Component<sim::PowerManager>().Call(DeviceObject, Irp);
}

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    sim::Machine::Current().SchedulingPoint("PoStartNextPowerIrp", Irp);
    sim::Machine::Current().Component<sim::PowerManager>().StartNext(Irp);
}

extern "C" POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    return sim::Machine::Current().Component<sim::PowerManager>().SetState(DeviceObject, Type, State);
}

extern "C" NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                            PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp)
{
    sim::Machine::Current().SchedulingPoint("PoRequestPowerIrp", DeviceObject);
    return sim::Machine::Current().Component<sim::PowerManager>().Request(
        DeviceObject, MinorFunction, PowerState, CompletionFunction, Context, Irp, __builtin_return_address(0));
}
