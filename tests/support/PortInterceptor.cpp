#include "tests/support/PortInterceptor.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace vxtest {

namespace {

std::mutex gInterceptorsLock;
std::map<PDRIVER_OBJECT, PortInterceptor *> gInterceptors;

PortInterceptor *InterceptorOf(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard lock(gInterceptorsLock);
    return gInterceptors.at(DeviceObject->DriverObject);
}

constexpr UCHAR kMajors[] = {IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_INTERNAL_DEVICE_CONTROL};

int Named(const Match &On)
{
    return int(On.Minor.has_value()) + int(On.Code.has_value()) + int(On.UrbFunction.has_value());
}

}  // namespace

bool Match::Covers(const PortRequest &Request) const
{
    return Major == Request.Major && (!Minor || *Minor == Request.Minor) && (!Code || *Code == Request.Code) &&
           (!UrbFunction || (Request.IsUrb() && *UrbFunction == Request.UrbFunction()));
}

PortInterceptor::PortInterceptor(PDRIVER_OBJECT BusDriver, PDEVICE_OBJECT Pdo) : bus_(BusDriver), pdo_(Pdo)
{
    {
        std::lock_guard lock(gInterceptorsLock);
        gInterceptors[bus_] = this;
    }
    for (UCHAR major : kMajors) {
        original_[major] = bus_->MajorFunction[major];
        bus_->MajorFunction[major] = Dispatch;
    }
}

PortInterceptor::~PortInterceptor()
{
    for (UCHAR major : kMajors) {
        bus_->MajorFunction[major] = original_[major];
    }
    std::lock_guard lock(gInterceptorsLock);
    gInterceptors.erase(bus_);
}

void PortInterceptor::Set(const Match &On, Rule Do)
{
    std::lock_guard lock(mutex_);
    for (auto &rule : rules_) {
        if (rule.first == On) {
            rule.second = std::move(Do);
            return;
        }
    }
    rules_.emplace_back(On, std::move(Do));
}

void PortInterceptor::Clear(const Match &On)
{
    std::lock_guard lock(mutex_);
    rules_.erase(std::remove_if(rules_.begin(), rules_.end(), [&](const auto &rule) { return rule.first == On; }),
                 rules_.end());
}

void PortInterceptor::ClearRules()
{
    std::lock_guard lock(mutex_);
    rules_.clear();
}

std::vector<PortRequest> PortInterceptor::Requests()
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<PortRequest> PortInterceptor::Requests(const Match &On)
{
    std::vector<PortRequest> found;
    for (PortRequest &request : Requests()) {
        if (On.Covers(request)) {
            found.push_back(std::move(request));
        }
    }
    return found;
}

size_t PortInterceptor::Count(const Match &On)
{
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(requests_.begin(), requests_.end(), [&](const PortRequest &r) { return On.Covers(r); }));
}

void PortInterceptor::ClearRequests()
{
    std::lock_guard lock(mutex_);
    requests_.clear();
}

PDEVICE_OBJECT PortInterceptor::Pdo()
{
    std::lock_guard lock(mutex_);
    return pdo_;
}

size_t PortInterceptor::HeldCount(const Match &On)
{
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(held_.begin(), held_.end(), [&](const Held &h) { return On.Covers(h.Request); }));
}

bool PortInterceptor::PeekHeld(const Match &On, const std::function<void(PIRP)> &Look)
{
    std::lock_guard lock(mutex_);
    for (const Held &h : held_) {
        if (On.Covers(h.Request)) {
            Look(h.Irp);
            return true;
        }
    }
    return false;
}

bool PortInterceptor::Release(const Match &On, NTSTATUS Status, std::optional<ULONG> Bytes)
{
    PIRP irp = nullptr;
    {
        std::lock_guard lock(mutex_);
        // A request whose cancel was kept for the test is answered first.
        auto it = std::find_if(held_.begin(), held_.end(),
                               [&](const Held &h) { return h.Cancelled && On.Covers(h.Request); });
        if (it == held_.end()) {
            // NULL back: the cancel routine is about to run and takes the IRP itself.
            it = std::find_if(held_.begin(), held_.end(), [&](const Held &h) {
                return On.Covers(h.Request) && IoSetCancelRoutine(h.Irp, nullptr) != nullptr;
            });
        }
        if (it == held_.end()) {
            return false;
        }
        irp = it->Irp;
        held_.erase(it);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        PURB urb = UrbOf(irp);
        if (NT_SUCCESS(Status)) {
            urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        }
        if (Bytes && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = *Bytes;
        }
    }
    sim::FrameScope frame(sim::FrameKind::Other, bus_, stack->DeviceObject, irp);
    Complete(irp, Status);
    return true;
}

size_t PortInterceptor::ReleaseAll(const Match &On, NTSTATUS Status)
{
    size_t released = 0;
    for (size_t held = HeldCount(On); held > 0 && Release(On, Status); --held) {
        ++released;
    }
    return released;
}

void PortInterceptor::Complete(PIRP Irp, NTSTATUS Status)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

PortRequest PortInterceptor::Describe(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PortRequest request;
    request.Major = stack->MajorFunction;
    request.Minor = stack->MinorFunction;
    if (request.Major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        request.Code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (request.Code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            PURB urb = UrbOf(Irp);
            const auto *bytes = reinterpret_cast<const uint8_t *>(urb);
            request.UrbBytes.assign(bytes, bytes + urb->UrbHeader.Length);
            request.UrbBytes.resize(std::max<size_t>(request.UrbBytes.size(), sizeof(URB)));
            if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                urb->UrbBulkOrInterruptTransfer.TransferBufferMDL != nullptr) {
                PMDL mdl = urb->UrbBulkOrInterruptTransfer.TransferBufferMDL;
                request.MdlAddress = MmGetMdlVirtualAddress(mdl);
                request.MdlBytes = MmGetMdlByteCount(mdl);
                request.MdlIsPartial = (mdl->MdlFlags & MDL_PARTIAL) != 0;
            }
        }
    } else if (request.Major == IRP_MJ_POWER) {
        if (request.Minor == IRP_MN_WAIT_WAKE) {
            request.PowerType = SystemPowerState;
            request.PowerState = static_cast<LONG>(stack->Parameters.WaitWake.PowerState);
        } else {
            std::memcpy(&request.PowerType, &stack->Parameters.Power.Type, sizeof(request.PowerType));
            std::memcpy(&request.PowerState, &stack->Parameters.Power.State, sizeof(request.PowerState));
        }
    }
    return request;
}

NTSTATUS NTAPI PortInterceptor::Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return InterceptorOf(DeviceObject)->Intercept(DeviceObject, Irp);
}

NTSTATUS PortInterceptor::Intercept(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR major = stack->MajorFunction;
    PortRequest request = Describe(Irp);
    Rule chosen;
    {
        std::lock_guard lock(mutex_);
        if (pdo_ == nullptr) {
            pdo_ = DeviceObject;
        }
        // Another port's requests pass down unrecorded.
        if (DeviceObject == pdo_) {
            requests_.push_back(request);
            if (const Rule *rule = RuleFor(request)) {
                chosen = *rule;
            }
        }
    }
    switch (chosen.What) {
    case Rule::Kind::Pass:
        return original_[major](DeviceObject, Irp);
    case Rule::Kind::Complete:
        Complete(Irp, chosen.Status);
        return chosen.Status;
    case Rule::Kind::Answer: {
        const NTSTATUS status = chosen.Fill(Irp);
        Complete(Irp, status);
        return status;
    }
    case Rule::Kind::Hold:
        return HoldIrp(Irp, request, chosen.Cancel);
    }
    return original_[major](DeviceObject, Irp);
}

const Rule *PortInterceptor::RuleFor(const PortRequest &Request) const
{
    const std::pair<Match, Rule> *chosen = nullptr;
    for (const auto &rule : rules_) {
        if (rule.first.Covers(Request) && (chosen == nullptr || Named(rule.first) >= Named(chosen->first))) {
            chosen = &rule;
        }
    }
    return chosen != nullptr ? &chosen->second : nullptr;
}

NTSTATUS PortInterceptor::HoldIrp(PIRP Irp, const PortRequest &Request, OnCancel Cancel)
{
    IoMarkIrpPending(Irp);
    bool cancelNow = false;
    {
        std::lock_guard lock(mutex_);
        held_.push_back({Irp, Request, Cancel, false});
        IoSetCancelRoutine(Irp, CancelHeld);
        // Cancelled before the routine was set: nothing will call it.
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            held_.pop_back();
            cancelNow = true;
        }
    }
    if (cancelNow) {
        Complete(Irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

VOID NTAPI PortInterceptor::CancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PortInterceptor *self = InterceptorOf(DeviceObject);
    OnCancel cancel = OnCancel::Complete;
    {
        std::lock_guard lock(self->mutex_);
        auto it = std::find_if(self->held_.begin(), self->held_.end(), [&](const Held &h) { return h.Irp == Irp; });
        if (it != self->held_.end()) {
            // The hold rule in force now decides, as a bus decides when the
            // cancel comes; without one, the rule that held it.
            const Rule *rule = self->RuleFor(it->Request);
            cancel = rule != nullptr && rule->What == Rule::Kind::Hold ? rule->Cancel : it->Cancel;
            if (cancel == OnCancel::Keep) {
                it->Cancelled = true;
            } else {
                self->held_.erase(it);
            }
        }
    }
    if (cancel != OnCancel::Keep) {
        self->Complete(Irp, cancel == OnCancel::Succeed ? STATUS_SUCCESS : STATUS_CANCELLED);
    }
}

}  // namespace vxtest
