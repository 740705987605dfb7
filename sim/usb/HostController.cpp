// The host controller of a port: runs transfers against the device model,
// keeps the bus timeline, completes transfers as its DPC would and writes
// the capture records.
#include <algorithm>

#include "sim/kernel/PnpManager.h"
#include "sim/usb/PortState.h"

namespace vextora::usb {

namespace {

UsbPcapWriter::Transfer PcapType(const Transfer &t)
{
    return t.Endpoint.Type() == EndpointType::Interrupt ? UsbPcapWriter::Transfer::Interrupt
                                                        : UsbPcapWriter::Transfer::Bulk;
}

}  // namespace

NTSTATUS NtStatusFor(USBD_STATUS usbd)
{
    switch (usbd) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_INAVLID_PIPE_FLAGS:
    case USBD_STATUS_BUFFER_TOO_SMALL: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_ERROR_BUSY: return STATUS_DEVICE_BUSY;
    default: return STATUS_UNSUCCESSFUL;
    }
}

thread_local const void *tInsideModelOf = nullptr;
thread_local const void *tPortThread = nullptr;

Transfer *UsbPort::Impl::Find(PIRP irp)
{
    for (auto &t : Transfers) {
        if (t->Irp == irp) {
            return t.get();
        }
    }
    return nullptr;
}

std::unique_ptr<Transfer> UsbPort::Impl::Take(Transfer *t)
{
    // From the newest: a transfer completed at once is the last one, and
    // many older ones may be waiting for data.
    for (auto it = Transfers.rbegin(); it != Transfers.rend(); ++it) {
        if (it->get() == t) {
            auto owned = std::move(*it);
            if (owned->NakForever) {
                // The transfers queued behind it on its endpoint go on.
                Kicked = true;
                --NakForeverTransfers;
            }
            Transfers.erase(std::next(it).base());
            return owned;
        }
    }
    return nullptr;
}

void UsbPort::Impl::Attempt(Transfer &t)
{
    Result r;
    if (!Connected) {
        r = Result::Gone();
    } else if (t.NakForever || BehindNakForever(t)) {
        r = Result::NotReady();
    } else if (auto fault = TakeFault(t)) {
        r = AnswerFault(t, *fault);
    } else {
        InsideModel inside(this);
        if (t.IsControl) {
            r = Port.model_->Control(t.Setup, std::span<uint8_t>(t.Data, t.Length));
        } else {
            r = Port.model_->Transfer(t.Endpoint, std::span<uint8_t>(t.Data + t.Done, t.Length - t.Done));
        }
    }
    t.DelayNs = r.DelayNs;
    switch (r.Kind) {
    case Outcome::Done: {
        const ULONG actual =
            t.IsControl ? std::min<ULONG>(r.Actual, t.Length) : std::min<ULONG>(t.Done + r.Actual, t.Length);
        SetResult(t, USBD_STATUS_SUCCESS, actual);
        if (t.In && actual < t.Length && !t.ShortOk) {
            // Without USBD_SHORT_TRANSFER_OK a short packet ends the
            // transfer in error.
            SetResult(t, USBD_STATUS_ERROR_SHORT_TRANSFER, actual);
        }
        // Written only when it changes: two processors completing
        // transfers would otherwise pass its line back and forth.
        if (!Kicked && !Port.model_->AnswersIndependently()) {
            Kicked = true;
        }
        break;
    }
    case Outcome::Nak:
        t.Done = std::min<ULONG>(t.Done + r.Actual, t.Length);
        t.NeedsAttempt = false;
        if (r.Actual > 0 && !Port.model_->AnswersIndependently()) {
            Kicked = true;
        }
        break;
    case Outcome::Stall: SetResult(t, USBD_STATUS_STALL_PID, t.Done); break;
    case Outcome::Error:
        SetResult(t, USBD_ERROR(r.UsbdStatus) ? r.UsbdStatus : USBD_STATUS_DEV_NOT_RESPONDING, t.Done);
        break;
    case Outcome::Disconnect:
        SetResult(t, USBD_STATUS_DEVICE_GONE, 0);
        t.Disconnect = Connected;
        break;
    }
    if (t.HasResult && t.Usbd == USBD_STATUS_SUCCESS && !t.IsControl) {
        const BusTiming::Id id = reinterpret_cast<uintptr_t>(t.Irp);
        if (Options.Completion == CompletionMode::HostController) {
            // Every transfer of the port shares one timeline in machine
            // time; the host controller completes it when its last
            // packet has gone out.
            AdvanceTimeline();
            Timing.Enqueue(id, t.Endpoint.Address, t.Actual);
            t.OnTimeline = true;
        } else {
            // Completed in the submitter's thread: the timeline only
            // keeps the endpoint figures.
            (void)Timing.RunAlone(id, t.Endpoint.Address, t.Actual);
        }
    }
}

bool UsbPort::Impl::BehindNakForever(const Transfer &t) const
{
    if (NakForeverTransfers == 0) {
        return false;
    }
    for (const auto &other : Transfers) {
        if (other.get() != &t && other->NakForever && FaultKey(*other) == FaultKey(t) &&
            other->IsControl == t.IsControl) {
            return true;
        }
    }
    return false;
}

std::optional<ArmedFault> UsbPort::Impl::TakeFault(const Transfer &t)
{
    auto it = Faults.find(FaultKey(t));
    if (it == Faults.end() || (it->second.Kind == EndpointFault::Short && !t.In)) {
        return std::nullopt;
    }
    const ArmedFault fault = it->second;
    Faults.erase(it);
    return fault;
}

Result UsbPort::Impl::AnswerFault(Transfer &t, const ArmedFault &fault)
{
    switch (fault.Kind) {
    case EndpointFault::Stall:
        if (!t.IsControl) {
            Port.model_->HaltEndpoint(t.Endpoint.Address);
        }
        return Result::Stalled();
    case EndpointFault::Error: return Result::Failed(USBD_STATUS_XACT_ERROR);
    case EndpointFault::Nak:
        t.NakForever = true;
        ++NakForeverTransfers;
        return Result::NotReady();
    case EndpointFault::Disconnect: return Result::Gone();
    case EndpointFault::Short: break;
    }
    // The device's own data, cut to N bytes: a short packet ends the
    // transfer. A device with nothing to send yet keeps the fault for
    // the attempt that finds data.
    InsideModel inside(this);
    Result r;
    if (t.IsControl) {
        r = Port.model_->Control(t.Setup, std::span<uint8_t>(t.Data, std::min(t.Length, fault.ShortBytes)));
    } else {
        const ULONG left = t.Length - t.Done;
        r = Port.model_->Transfer(t.Endpoint, std::span<uint8_t>(t.Data + t.Done, std::min(left, fault.ShortBytes)));
    }
    if (r.Kind == Outcome::Nak && r.Actual == 0) {
        Faults.emplace(FaultKey(t), fault);
    } else if (r.Kind == Outcome::Nak) {
        r.Kind = Outcome::Done;
    }
    return r;
}

void UsbPort::Impl::AdvanceTimeline()
{
    const uint64_t now = NowNs();
    for (BusTiming::Id id : Timing.AdvanceTo(now / FrameNs())) {
        for (auto &t : Transfers) {
            if (reinterpret_cast<uintptr_t>(t->Irp) == id) {
                t->OnTimeline = false;
                break;
            }
        }
    }
    if (!Timing.Busy() && now % FrameNs() != 0) {
        (void)Timing.AdvanceTo(now / FrameNs() + 1);
    }
}

uint64_t UsbPort::Impl::CaptureNs() const
{
    return Options.Completion == CompletionMode::HostController ? NowNs() : NowNs() + Timing.NowNs();
}

void UsbPort::Impl::SetResult(Transfer &t, USBD_STATUS usbd, ULONG actual)
{
    t.HasResult = true;
    t.Usbd = usbd;
    t.Status = NtStatusFor(usbd);
    t.Actual = actual;
}

void UsbPort::Impl::Record(const Transfer &t, bool pended)
{
    t.Urb->UrbHeader.Status = t.Usbd;
    if (t.IsControl) {
        t.Urb->UrbControlTransfer.TransferBufferLength = t.Actual;
    } else {
        t.Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t.Actual;
    }
    if (Options.RecordUrbs) {
        UrbRecord rec;
        rec.Function = t.Urb->UrbHeader.Function;
        rec.Length = t.Urb->UrbHeader.Length;
        rec.Endpoint = t.IsControl ? (t.In ? 0x80 : 0x00) : t.Endpoint.Address;
        rec.TransferFlags =
            t.IsControl ? t.Urb->UrbControlTransfer.TransferFlags : t.Urb->UrbBulkOrInterruptTransfer.TransferFlags;
        rec.Requested = t.Length;
        rec.Actual = t.Actual;
        rec.UsbdStatus = t.Usbd;
        rec.IrpStatus = t.Status;
        if (t.IsControl) {
            rec.Setup = t.Setup;
        }
        rec.Data = t.Data;
        rec.ThroughMdl = t.ThroughMdl;
        rec.Pended = pended;
        rec.CompletionIrql = KeGetCurrentIrql();
        Records.push_back(rec);
    }
    if (Pcap && t.CaptureId != 0) {
        std::span<const uint8_t> in;
        if (t.In && t.Data) {
            in = std::span<const uint8_t>(t.Data, t.Actual);
        }
        if (t.IsControl) {
            Pcap->ControlComplete(Device(), t.CaptureId, CaptureNs(), t.Urb->UrbHeader.Function, t.Usbd,
                                  t.In ? 0x80 : 0x00, in);
        } else {
            Pcap->TransferComplete(Device(), t.CaptureId, CaptureNs(), PcapType(t), t.Endpoint.Address, t.Usbd, in);
        }
    }
}

void UsbPort::Impl::CaptureSubmit(Transfer &t)
{
    if (!Pcap) {
        return;
    }
    t.CaptureId = Pcap->NewIrpId();
    std::span<const uint8_t> out;
    if (!t.In && t.Data) {
        out = std::span<const uint8_t>(t.Data, t.Length);
    }
    if (t.IsControl) {
        Pcap->ControlSubmit(Device(), t.CaptureId, CaptureNs(), t.Urb->UrbHeader.Function, t.Setup, out);
    } else {
        Pcap->TransferSubmit(Device(), t.CaptureId, CaptureNs(), PcapType(t), t.Endpoint.Address, out);
    }
}

void UsbPort::Impl::CaptureStackControl(USHORT function, const SetupPacket &setup, USBD_STATUS usbd)
{
    if (Pcap) {
        const uint64_t id = Pcap->NewIrpId();
        Pcap->ControlSubmit(Device(), id, CaptureNs(), function, setup, {});
        Pcap->ControlComplete(Device(), id, CaptureNs(), function, usbd, 0x00, {});
    }
}

TransferList UsbPort::Impl::FailTransfers(const std::function<bool(const Transfer &)> &pred, USBD_STATUS usbd)
{
    TransferList out;
    for (auto it = Transfers.begin(); it != Transfers.end();) {
        Transfer &t = **it;
        if (!pred(t)) {
            ++it;
            continue;
        }
        if (t.State == TransferState::Active) {
            // The host controller is running it; it finishes it.
            t.CancelRequested = true;
            ++it;
            continue;
        }
        if (t.State == TransferState::Finished) {
            ++it;  // its cancel routine completes it
            continue;
        }
        if (IoSetCancelRoutine(t.Irp, nullptr) == nullptr) {
            ++it;  // being cancelled: the cancel routine completes it
            continue;
        }
        SetResult(t, usbd, t.Done);
        Record(t, true);
        if (t.NakForever) {
            --NakForeverTransfers;
        }
        out.push_back(std::move(*it));
        it = Transfers.erase(it);
    }
    return out;
}

void UsbPort::Impl::CompleteTransfers(TransferList &done)
{
    if (done.empty()) {
        return;
    }
    sim::DispatchLevelScope dpc;
    for (auto &t : done) {
        CompleteIrp(t->Irp, t->Status);
    }
    done.clear();
}

VOID NTAPI UsbPort::Impl::CancelTransfer(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Impl &p = Of(device);
    std::unique_ptr<Transfer> done;
    {
        std::lock_guard lock(p.M);
        Transfer *t = p.Find(irp);
        if (t == nullptr) {
            return;
        }
        if (t->State == TransferState::Active) {
            t->CancelRequested = true;  // the host controller completes it
        } else {
            if (t->State == TransferState::Queued) {
                SetResult(*t, USBD_STATUS_CANCELED, t->Done);
            }
            // Finished: completed with the result it already has, so that
            // no data the device moved is lost.
            p.Record(*t, true);
            done = p.Take(t);
        }
    }
    if (!done) {
        p.Wake();
        return;
    }
    const bool heldOthers = done->NakForever;
    CompleteIrp(done->Irp, done->Status);
    if (heldOthers) {
        p.Wake();
    }
}

Result UsbPort::Impl::StackRequest(const SetupPacket &setup)
{
    InsideModel inside(this);
    return Port.model_->Control(setup, {});
}

std::unique_ptr<Transfer> UsbPort::Impl::Pend(Transfer &t)
{
    t.State = TransferState::Queued;
    t.Pended = true;
    IoMarkIrpPending(t.Irp);
    IoSetCancelRoutine(t.Irp, CancelTransfer);
    if (t.Irp->Cancel && IoSetCancelRoutine(t.Irp, nullptr) != nullptr) {
        SetResult(t, USBD_STATUS_CANCELED, t.Done);
        Record(t, true);
        return Take(&t);
    }
    return nullptr;
}

std::unique_ptr<Transfer> UsbPort::Impl::EndAttempt(Transfer &t)
{
    if (t.CancelRequested) {
        // Set by the cancel routine (IoCancelIrp cleared it already) or
        // by FailTransfers (abort, reset, unplug), which leaves it set:
        // an IRP must not be completed with its cancel routine still
        // set. A cancel routine that runs now finds the transfer taken.
        (void)IoSetCancelRoutine(t.Irp, nullptr);
    }
    if (!t.HasResult) {
        if (t.CancelRequested) {
            SetResult(t, Connected ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE, t.Done);
            Record(t, true);
            return Take(&t);
        }
        t.State = TransferState::Queued;
        return nullptr;
    }
    if (t.CancelRequested || IoSetCancelRoutine(t.Irp, nullptr) != nullptr) {
        Record(t, true);
        return Take(&t);
    }
    t.State = TransferState::Finished;  // its cancel routine completes it
    return nullptr;
}

void UsbPort::Impl::HostControllerBody()
{
    tPortThread = this;
    constexpr uint64_t kNever = ~uint64_t{0};
    std::vector<Transfer *> answered;  // Active, waiting for their time
    uint64_t wakeNs = kNever;
    for (;;) {
        LARGE_INTEGER timeout;
        PLARGE_INTEGER wait = nullptr;
        if (wakeNs != kNever) {
            const uint64_t now = NowNs();
            // Machine time is kept in 100 ns units: round the wait up so
            // that the frame has ended when the thread wakes.
            timeout.QuadPart = wakeNs > now ? -static_cast<LONGLONG>((wakeNs - now + 99) / 100) : 0;
            wait = &timeout;
        }
        if (wait == nullptr || wait->QuadPart != 0) {
            (void)KeWaitForSingleObject(&HcEvent, Executive, KernelMode, FALSE, wait);
        }
        for (;;) {
            std::vector<Transfer *> batch;
            bool unplug = false;
            {
                std::lock_guard lock(M);
                if (Stopping) {
                    return;
                }
                if (Kicked) {
                    Kicked = false;
                    for (auto &t : Transfers) {
                        t->NeedsAttempt = true;
                    }
                }
                const bool running = Connected && Enabled && Power == PowerDeviceD0;
                for (auto &t : Transfers) {
                    if (t->State == TransferState::Queued && (t->HasResult || (running && t->NeedsAttempt))) {
                        t->State = TransferState::Active;
                        batch.push_back(t.get());
                    }
                }
                for (Transfer *t : batch) {
                    if (!t->HasResult) {
                        Attempt(*t);
                        unplug = unplug || t->Disconnect;
                    }
                    t->DueNs = NowNs() + t->DelayNs;
                    answered.push_back(t);
                }
            }
            TransferList done;
            {
                // The host controller's completion runs as its DPC would.
                sim::DispatchLevelScope dpc;
                std::lock_guard lock(M);
                if (Options.Completion == CompletionMode::HostController) {
                    AdvanceTimeline();
                }
                const uint64_t now = NowNs();
                wakeNs = kNever;
                for (auto it = answered.begin(); it != answered.end();) {
                    Transfer &t = **it;
                    if (!t.CancelRequested && (t.OnTimeline || t.DueNs > now)) {
                        if (!t.OnTimeline) {
                            wakeNs = std::min(wakeNs, t.DueNs);
                        }
                        ++it;
                        continue;
                    }
                    if (t.OnTimeline) {
                        // Cancelled while its packets were still going
                        // out: it ends with what the device moved.
                        Timing.Remove(reinterpret_cast<uintptr_t>(t.Irp));
                        t.OnTimeline = false;
                    }
                    t.DelayNs = 0;
                    it = answered.erase(it);
                    if (auto d = EndAttempt(t)) {
                        done.push_back(std::move(d));
                    }
                }
                if (Timing.Busy() && Options.Completion == CompletionMode::HostController) {
                    wakeNs = std::min(wakeNs, (Timing.Frames() + Timing.FramesToNextCompletion()) * FrameNs());
                }
            }
            const bool progress = !batch.empty() || !done.empty();
            // A device that vanished mid-transfer is gone (and the PnP
            // manager told) before that transfer's failure reaches its
            // caller, as the hub reports the disconnect first.
            if (unplug) {
                Disconnect();
            }
            CompleteTransfers(done);
            if (!progress) {
                break;
            }
        }
    }
}

void UsbPort::Impl::Disconnect()
{
    TransferList done;
    bool removed;
    {
        std::lock_guard lock(M);
        if (!Connected) {
            return;
        }
        Connected = false;
        Enabled = false;
        done = FailTransfers([](const Transfer &) { return true; }, USBD_STATUS_DEVICE_GONE);
        removed = Removed;
    }
    CompleteTransfers(done);
    if (removed) {
        // The stack was removed while the device was still there (disable):
        // nothing is left to tell the PnP manager; the hub deletes the PDO.
        WakeHub();
        return;
    }
    Machine.Component<sim::PnpManager>().DeviceVanished(Port.pdo_);
}

}  // namespace vextora::usb
