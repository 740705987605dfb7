// IRP flow as correct drivers use it: forwarding and waiting, completion
// routines and their invoke flags, STATUS_MORE_PROCESSING_REQUIRED and
// resumed completion, PendingReturned, cancellation, built and allocated
// IRPs. None of these may produce a report.
#include "TestDrivers.h"

using namespace simtest;

namespace {

// Upper driver behaviours, chosen per test.
PDRIVER_DISPATCH gUpper;
NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT Device, PIRP Irp) { return gUpper(Device, Irp); }

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT Fdo)
{
    return static_cast<PDEVICE_OBJECT>(*static_cast<PVOID *>(Fdo->DeviceExtension));
}

NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the IRP down, waits for it to come back, then completes it.
NTSTATUS NTAPI ForwardAndWaitDispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(LowerOf(Device), Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI PropagatePending(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    InterlockedIncrement(static_cast<LONG *>(Context));
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

LONG gRoutineCalls;
NTSTATUS NTAPI PassDownWithRoutine(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PropagatePending, &gRoutineCalls, TRUE, TRUE, TRUE);
    return IoCallDriver(LowerOf(Device), Irp);
}

NTSTATUS NTAPI PassDownOnSuccessOnly(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PropagatePending, &gRoutineCalls, TRUE, FALSE, FALSE);
    return IoCallDriver(LowerOf(Device), Irp);
}

NTSTATUS NTAPI SkipDown(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(LowerOf(Device), Irp);
}

class IrpFlowTest : public KernelTest {
protected:
    PDEVICE_OBJECT Upper(PDRIVER_DISPATCH Behaviour)
    {
        gUpper = Behaviour;
        gRoutineCalls = 0;
        PDEVICE_OBJECT fdo = AddUpper(UpperDispatch, 64);
        *static_cast<PVOID *>(fdo->DeviceExtension) = pdo;
        return fdo;
    }

    // Completes the held IRPs from another thread at DISPATCH_LEVEL, the
    // way a bus driver's DPC would, once the test thread blocks.
    sim::SimThread *CompleteHeldLater(NTSTATUS Status, ULONG_PTR Information = 0)
    {
        return machine.StartThread("bus DPC", [this, Status, Information] {
            WaitForHeld();
            sim::DispatchLevelScope dpc;
            CompleteHeld(Status, Information);
        });
    }
};

TEST_F(IrpFlowTest, ForwardAndWaitSeesTheLowerStatusSyncOrAsync)
{
    PDEVICE_OBJECT fdo = Upper(ForwardAndWaitDispatch);
    struct Case {
        LowerMode Mode;
        NTSTATUS LowerStatus;
    } cases[] = {{LowerMode::Complete, STATUS_SUCCESS},
                 {LowerMode::Complete, STATUS_DEVICE_NOT_CONNECTED},
                 {LowerMode::Pend, STATUS_SUCCESS},
                 {LowerMode::Pend, STATUS_CANCELLED}};
    for (const Case &c : cases) {
        lower->Mode = c.Mode;
        lower->Status = c.LowerStatus;
        finalStatuses.clear();
        sim::SimThread *bus = c.Mode == LowerMode::Pend ? CompleteHeldLater(c.LowerStatus) : nullptr;
        Sent s = SendSystemIrp(fdo, IRP_MJ_PNP, IRP_MN_START_DEVICE);
        if (bus != nullptr) {
            machine.Join(bus);
        }
        EXPECT_EQ(s.Returned, c.LowerStatus);
        EXPECT_EQ(finalStatuses, std::vector<NTSTATUS>{c.LowerStatus});
        EXPECT_EQ(machine.ReportText(), "");
    }
    EXPECT_EQ(sim::LiveIrpCount(), 0u);
}

TEST_F(IrpFlowTest, CompletionRoutineRunsOnlyForItsInvokeFlags)
{
    struct Case {
        PDRIVER_DISPATCH Behaviour;
        NTSTATUS LowerStatus;
        LONG Calls;
    } cases[] = {{PassDownOnSuccessOnly, STATUS_SUCCESS, 1},
                 {PassDownOnSuccessOnly, STATUS_UNSUCCESSFUL, 0},
                 {PassDownWithRoutine, STATUS_UNSUCCESSFUL, 1}};
    PDEVICE_OBJECT fdo = Upper(PassDownWithRoutine);
    for (const Case &c : cases) {
        gUpper = c.Behaviour;
        gRoutineCalls = 0;
        lower->Mode = LowerMode::Complete;
        lower->Status = c.LowerStatus;
        Sent s = SendSystemIrp(fdo, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(s.Returned, c.LowerStatus);
        EXPECT_EQ(gRoutineCalls, c.Calls);
    }
    EXPECT_EQ(machine.ReportText(), "");
}

TEST_F(IrpFlowTest, PendingPropagatesThroughRoutinesAndSkippedLocations)
{
    for (PDRIVER_DISPATCH behaviour : {PassDownWithRoutine, SkipDown}) {
        PDEVICE_OBJECT fdo = fdos.empty() ? Upper(behaviour) : fdos.front();
        gUpper = behaviour;
        lower->Mode = LowerMode::Pend;
        finalStatuses.clear();
        Sent s = SendSystemIrp(fdo, IRP_MJ_READ);
        EXPECT_EQ(s.Returned, STATUS_PENDING);
        EXPECT_TRUE(finalStatuses.empty());
        machine.Join(CompleteHeldLater(STATUS_SUCCESS, 512));
        EXPECT_EQ(finalStatuses, std::vector<NTSTATUS>{STATUS_SUCCESS});
    }
    EXPECT_EQ(machine.ReportText(), "");
}

TEST_F(IrpFlowTest, MoreProcessingRequiredStopsAndALaterCompletionResumes)
{
    // The driver's routine keeps the IRP; the driver completes it later from
    // another thread and the walk resumes above it.
    static KEVENT back;
    KeInitializeEvent(&back, NotificationEvent, FALSE);
    static PIRP kept;
    PDEVICE_OBJECT fdo = Upper([](PDEVICE_OBJECT Device, PIRP Irp) NTAPI -> NTSTATUS {
        IoMarkIrpPending(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, [](PDEVICE_OBJECT, PIRP I, PVOID) NTAPI -> NTSTATUS {
            kept = I;
            KeSetEvent(&back, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(LowerOf(Device), Irp);
        return STATUS_PENDING;
    });
    lower->Mode = LowerMode::Complete;
    lower->Status = STATUS_UNSUCCESSFUL;
    Sent s = SendSystemIrp(fdo, IRP_MJ_WRITE);
    EXPECT_EQ(s.Returned, STATUS_PENDING);
    KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(finalStatuses.empty());
    machine.Join(machine.StartThread("resume", [] {
        kept->IoStatus.Status = STATUS_DEVICE_BUSY;
        IoCompleteRequest(kept, IO_NO_INCREMENT);
    }));
    EXPECT_EQ(finalStatuses, std::vector<NTSTATUS>{STATUS_DEVICE_BUSY});
    EXPECT_EQ(machine.ReportText(), "");
}

VOID NTAPI CancelHeld(PDEVICE_OBJECT Device, PIRP Irp)
{
    auto *ext = static_cast<LowerExtension *>(Device->DeviceExtension);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL old;
    KeAcquireSpinLock(&ext->Lock, &old);
    std::erase(*ext->Held, Irp);
    KeReleaseSpinLock(&ext->Lock, old);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

TEST_F(IrpFlowTest, CancelCallsTheCancelRoutineOnce)
{
    PDEVICE_OBJECT fdo = Upper(SkipDown);
    lower->Mode = LowerMode::Pend;
    lower->CancelRoutine = CancelHeld;
    Sent s = SendSystemIrp(fdo, IRP_MJ_READ);
    ASSERT_EQ(s.Returned, STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(s.Irp));
    EXPECT_EQ(finalStatuses, std::vector<NTSTATUS>{STATUS_CANCELLED});
    EXPECT_TRUE(held.empty());

    // Without a cancel routine IoCancelIrp only marks the IRP.
    lower->CancelRoutine = nullptr;
    s = SendSystemIrp(fdo, IRP_MJ_READ);
    EXPECT_FALSE(IoCancelIrp(s.Irp));
    EXPECT_TRUE(s.Irp->Cancel);
    CompleteHeld(STATUS_SUCCESS);
    EXPECT_EQ(machine.ReportText(), "");
}

TEST_F(IrpFlowTest, BuiltRequestFillsStatusBlockCopiesOutputAndSetsEvent)
{
    Upper(SkipDown);
    lower->Mode = LowerMode::Pend;
    constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_BUFFERED, FILE_ANY_ACCESS);
    ULONG input = 0x11223344;
    ULONG output[2] = {0, 0};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    sim::SimThread *bus = machine.StartThread("bus", [&] {
        WaitForHeld();
        PIRP irp = held.front();
        auto *buffer = static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(buffer[0], input);
        buffer[0] = 0xCAFE;
        buffer[1] = 0xBEEF;
        sim::DispatchLevelScope dpc;
        CompleteHeld(STATUS_SUCCESS, 8);
    });
    {
        sim::FrameScope asDriver(sim::FrameKind::Other, loaded.front());
        PIRP irp = IoBuildDeviceIoControlRequest(kCode, fdos.front(), &input, sizeof(input), output, sizeof(output), FALSE,
                                                 &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode, kCode);
        NTSTATUS status = IoCallDriver(fdos.front(), irp);
        EXPECT_EQ(status, STATUS_PENDING);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    machine.Join(bus);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 8u);
    EXPECT_EQ(output[0], 0xCAFEu);
    EXPECT_EQ(output[1], 0xBEEFu);
    EXPECT_EQ(sim::LiveIrpCount(), 0u);
    EXPECT_EQ(machine.ReportText(), "");
}

TEST_F(IrpFlowTest, AllocatedIrpComesBackToItsOwnerAndCanBeReused)
{
    Upper(SkipDown);
    sim::FrameScope asDriver(sim::FrameKind::Other, loaded.front());
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    KEVENT done;
    for (NTSTATUS lowerStatus : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
        lower->Mode = LowerMode::Pend;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
        sim::SimThread *bus = CompleteHeldLater(lowerStatus);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        machine.Join(bus);
        EXPECT_EQ(irp->IoStatus.Status, lowerStatus);
        IoReuseIrp(irp, STATUS_SUCCESS);
    }
    IoFreeIrp(irp);
    EXPECT_EQ(sim::LiveIrpCount(), 0u);
    EXPECT_EQ(machine.ReportText(), "");
}

}  // namespace
