// Stands between the driver and one port of the simulated bus: it takes over
// the bus driver's PnP, power and internal device-control routines, records
// every request the driver sends to the port's PDO exactly as it was sent,
// and applies the test's rules to them: pass down (the default), complete at
// once with a status, hold (cancellable) until the test releases it, or
// answer (fill in what the bus would return, then complete). Requests to the
// bus's other PDOs go to its own routines untouched.
#pragma once

#include "sim/kernel/Machine.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace vxtest {

// One request as the driver sent it to the port, copied at dispatch.
struct PortRequest {
    UCHAR Major = 0;
    UCHAR Minor = 0;
    ULONG Code = 0;  // internal device control: the control code
    // IOCTL_INTERNAL_USB_SUBMIT_URB: the URB's bytes as sent (its header's
    // Length of them, at least a whole URB).
    std::vector<uint8_t> UrbBytes;
    // A transfer's MDL as it was at dispatch.
    PVOID MdlAddress = nullptr;  // MmGetMdlVirtualAddress
    ULONG MdlBytes = 0;
    bool MdlIsPartial = false;
    // Power: Parameters.Power.Type and .State (numbers: tests send unknown
    // types); IRP_MN_WAIT_WAKE: SystemPowerState and the state to wake from.
    ULONG PowerType = 0;
    LONG PowerState = 0;

    bool IsUrb() const { return !UrbBytes.empty(); }
    const URB &Urb() const { return *reinterpret_cast<const URB *>(UrbBytes.data()); }
    USHORT UrbFunction() const { return IsUrb() ? Urb().UrbHeader.Function : 0; }
};

// The URB of an IOCTL_INTERNAL_USB_SUBMIT_URB request, for answers.
inline PURB UrbOf(PIRP Irp)
{
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
}

// Which requests a rule or a query is about; unset fields match anything.
struct Match {
    UCHAR Major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    std::optional<UCHAR> Minor;
    std::optional<ULONG> Code;
    std::optional<USHORT> UrbFunction;

    static Match Urb(USHORT Function)
    {
        return {IRP_MJ_INTERNAL_DEVICE_CONTROL, {}, IOCTL_INTERNAL_USB_SUBMIT_URB, Function};
    }
    static Match Ioctl(ULONG Code) { return {IRP_MJ_INTERNAL_DEVICE_CONTROL, {}, Code, {}}; }
    static Match Power(std::optional<UCHAR> Minor = {}) { return {IRP_MJ_POWER, Minor, {}, {}}; }
    static Match Pnp(std::optional<UCHAR> Minor = {}) { return {IRP_MJ_PNP, Minor, {}, {}}; }

    bool Covers(const PortRequest &Request) const;
    bool operator==(const Match &) const = default;
};

// What a held request gets when it is cancelled (the hold rule in force at
// the cancel decides).
enum class OnCancel {
    Complete,  // STATUS_CANCELLED from the cancel routine, inside IoCancelIrp
    Keep,      // kept, cancelled, until the test releases it (a bus that answers later)
    Succeed,   // STATUS_SUCCESS from the cancel routine (a wake-up raced the cancel)
};

// What the interceptor does with a request.
struct Rule {
    enum class Kind { Pass, Complete, Hold, Answer };
    Kind What = Kind::Pass;
    NTSTATUS Status = STATUS_SUCCESS;  // Complete
    OnCancel Cancel = OnCancel::Complete;  // Hold
    // Answer: fills in the request's output and returns its status. Runs in
    // the dispatch routine, at its IRQL, without the interceptor's lock.
    std::function<NTSTATUS(PIRP)> Fill;

    static Rule Pass() { return {}; }
    // Completes at once with Status (a failure, or a success the bus would
    // have answered), moving nothing.
    static Rule Complete(NTSTATUS Status) { return {Kind::Complete, Status, {}, {}}; }
    // Pends it, cancellable, until Release (PortInterceptor).
    static Rule Hold(OnCancel Cancel = OnCancel::Complete) { return {Kind::Hold, STATUS_PENDING, Cancel, {}}; }
    static Rule Answer(std::function<NTSTATUS(PIRP)> Fill)
    {
        return {Kind::Answer, STATUS_SUCCESS, {}, std::move(Fill)};
    }
};

class PortInterceptor {
public:
    // Takes over BusDriver's routines until destroyed. The port is Pdo, or
    // when null the PDO that gets the first request afterwards: make the
    // interceptor before plugging the device to see it from its start. One
    // interceptor per bus driver.
    explicit PortInterceptor(PDRIVER_OBJECT BusDriver, PDEVICE_OBJECT Pdo = nullptr);
    ~PortInterceptor();
    PortInterceptor(const PortInterceptor &) = delete;
    PortInterceptor &operator=(const PortInterceptor &) = delete;

    // The rule for requests On covers; it replaces one with the same Match.
    // Where several rules cover a request, the one that names more fields
    // wins, then the later one.
    void Set(const Match &On, Rule Do);
    void Clear(const Match &On);
    // Every request passes down from now on.
    void ClearRules();

    // Requests since the last ClearRequests, in order (those On covers).
    std::vector<PortRequest> Requests();
    std::vector<PortRequest> Requests(const Match &On);
    size_t Count(const Match &On);
    void ClearRequests();

    // Held requests On covers, including cancelled ones kept for the test.
    size_t HeldCount(const Match &On);
    // Completes the oldest held request On covers (a cancelled one kept for
    // the test first) with Status, nothing moved; Bytes, when given, becomes
    // a transfer's TransferBufferLength, and a success sets the URB's USBD
    // status to success. A power request's next one is started. False when
    // none is held (or the only one is being cancelled).
    bool Release(const Match &On, NTSTATUS Status, std::optional<ULONG> Bytes = std::nullopt);
    // Release() for every request On covers that is held now; how many.
    size_t ReleaseAll(const Match &On, NTSTATUS Status);
    bool Holds(const Match &On) { return HeldCount(On) != 0; }
    // Runs Look on the oldest held request On covers, under the
    // interceptor's lock (it must not complete it). False when none.
    bool PeekHeld(const Match &On, const std::function<void(PIRP)> &Look);

    PDEVICE_OBJECT Pdo();
    // The record of Irp as it is now.
    static PortRequest Describe(PIRP Irp);

private:
    struct Held {
        PIRP Irp;
        PortRequest Request;
        OnCancel Cancel;
        bool Cancelled;
    };

    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID NTAPI CancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS Intercept(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS HoldIrp(PIRP Irp, const PortRequest &Request, OnCancel Cancel);
    // The rule for Request, or null (pass down). Under mutex_.
    const Rule *RuleFor(const PortRequest &Request) const;
    void Complete(PIRP Irp, NTSTATUS Status);

    PDRIVER_OBJECT bus_;
    PDRIVER_DISPATCH original_[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};

    std::mutex mutex_;
    PDEVICE_OBJECT pdo_;
    std::vector<std::pair<Match, Rule>> rules_;
    std::vector<PortRequest> requests_;
    std::deque<Held> held_;
};

}  // namespace vxtest
