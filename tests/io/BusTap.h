// Takes over the simulated bus driver's internal device-control routine: it
// records every internal device-control request the driver sends down and,
// on request, answers some of them itself: bulk transfers failed at once,
// held until the test completes them (or they are cancelled), pipe resets
// and port requests answered with a chosen status. Everything else goes to
// the bus driver's own routine untouched.
#pragma once

#include "sim/kernel/Machine.h"

#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace iotest {

// One internal device-control request, as the driver sent it.
struct BusCall {
    ULONG Code = 0;
    USHORT UrbFunction = 0;        // SUBMIT_URB only
    USHORT UrbLength = 0;
    USBD_PIPE_HANDLE Pipe = nullptr;
    ULONG TransferFlags = 0;
    ULONG TransferLength = 0;
    PVOID TransferBuffer = nullptr;
    PMDL Mdl = nullptr;
    PVOID MdlAddress = nullptr;    // MmGetMdlVirtualAddress of the transfer's MDL
    ULONG MdlBytes = 0;
    bool MdlIsPartial = false;     // MDL_PARTIAL set
};

enum class TransferMode {
    PassDown,    // to the bus driver's own routine
    FailAtOnce,  // completed at once with the chosen status
    Hold,        // pended (cancellable) until ReleaseHeld
};

class BusTap {
public:
    explicit BusTap(sim::Machine &Machine);
    ~BusTap();
    BusTap(const BusTap &) = delete;
    BusTap &operator=(const BusTap &) = delete;

    // Routes the bus driver's internal device-control requests through this
    // object until it is destroyed. Before the device is plugged in.
    void Install(PDRIVER_OBJECT BusDriver);

    std::vector<BusCall> Calls();
    void ClearCalls();
    // Calls whose URB function is Function, in order.
    std::vector<BusCall> Urbs(USHORT Function);
    // Internal control codes in order (URB function in the low word for
    // SUBMIT_URB, as MakeKey does), for checking sequences of requests.
    static ULONG MakeKey(ULONG Code, USHORT UrbFunction);
    std::vector<ULONG> Sequence();

    void SetTransferMode(TransferMode Mode, NTSTATUS Status = STATUS_UNSUCCESSFUL);
    size_t HeldCount();
    // Completes the oldest held transfer with Status, moving Bytes. False
    // when none is held.
    bool ReleaseHeld(NTSTATUS Status, ULONG Bytes);

    // Answers URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL with Status
    // instead of passing it down (nullopt: pass down).
    void AnswerResetPipe(std::optional<NTSTATUS> Status);
    // Answers IOCTL_INTERNAL_USB_GET_PORT_STATUS with these port bits, and
    // IOCTL_INTERNAL_USB_RESET_PORT with success (nullopt: pass both down).
    void AnswerPortStatus(std::optional<ULONG> PortBits);
    // Completes URB_FUNCTION_CLASS_INTERFACE requests with Status, moving
    // nothing, instead of passing them down (nullopt: pass down).
    void AnswerClassInterface(std::optional<NTSTATUS> Status);

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID NTAPI CancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS DispatchInternal(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static NTSTATUS Finish(PIRP Irp, NTSTATUS Status);

    PDRIVER_OBJECT bus_ = nullptr;
    PDRIVER_DISPATCH original_ = nullptr;

    std::mutex mutex_;
    std::vector<BusCall> calls_;
    TransferMode mode_ = TransferMode::PassDown;
    NTSTATUS failStatus_ = STATUS_UNSUCCESSFUL;
    std::deque<PIRP> held_;
    std::optional<NTSTATUS> resetPipe_;
    std::optional<ULONG> portBits_;
    std::optional<NTSTATUS> classInterface_;
};

}  // namespace iotest
