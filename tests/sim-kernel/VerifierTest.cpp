// Each verifier check fires for a deliberately faulty driver, and only the
// expected checks fire. The correct counterparts are in IrpFlowTest.
#include "TestDrivers.h"

#include <algorithm>

using namespace simtest;

namespace {

PDEVICE_OBJECT gLower;
PIRP gKept;

NTSTATUS Complete(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI NoPropagate(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }
VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

struct DispatchCase {
    const char *Name;
    PDRIVER_DISPATCH Dispatch;
    LowerMode Lower;
    std::vector<std::string_view> Expected;
    UCHAR Major = IRP_MJ_DEVICE_CONTROL;
    CCHAR StackSize = 0;  // 0: the device's
};

const DispatchCase kDispatchCases[] = {
    {"double completion",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         Complete(Irp, STATUS_SUCCESS);
         IoCompleteRequest(Irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
     },
     LowerMode::Complete, {sim::checks::DoubleCompletion}},
    {"completion with STATUS_PENDING",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         IoMarkIrpPending(Irp);
         Complete(Irp, STATUS_PENDING);
         return STATUS_PENDING;
     },
     LowerMode::Complete, {sim::checks::CompletedWithPending}},
    {"pending returned, IRP not marked",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         gKept = Irp;
         return STATUS_PENDING;
     },
     LowerMode::Complete, {sim::checks::PendingNotMarked}},
    {"marked pending, other status returned",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         IoMarkIrpPending(Irp);
         return Complete(Irp, STATUS_SUCCESS);
     },
     LowerMode::Complete, {sim::checks::MarkedPendingReturnedOther}},
    {"return differs from IoStatus.Status",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         Complete(Irp, STATUS_SUCCESS);
         return STATUS_UNSUCCESSFUL;
     },
     LowerMode::Complete, {sim::checks::ReturnDiffersFromStatus}},
    {"IRP neither completed, passed nor pended",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         gKept = Irp;
         return STATUS_SUCCESS;
     },
     LowerMode::Complete, {sim::checks::IrpLost}},
    {"IRQL raised and not restored",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         return Complete(Irp, STATUS_SUCCESS);
     },
     LowerMode::Complete, {sim::checks::IrqlChanged}},
    {"completion above DISPATCH_LEVEL",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         KIRQL old;
         KeRaiseIrql(HIGH_LEVEL, &old);
         Complete(Irp, STATUS_SUCCESS);
         KeLowerIrql(old);
         return STATUS_SUCCESS;
     },
     LowerMode::Complete, {sim::checks::CompletionIrql}},
    {"completion holding a spin lock",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         static KSPIN_LOCK lock;
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         Complete(Irp, STATUS_SUCCESS);
         KeReleaseSpinLock(&lock, old);
         return STATUS_SUCCESS;
     },
     LowerMode::Complete, {sim::checks::CompletionWithSpinLockHeld}},
    {"IofCallDriver above DISPATCH_LEVEL",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         KIRQL old;
         KeRaiseIrql(HIGH_LEVEL, &old);
         IoSkipCurrentIrpStackLocation(Irp);
         NTSTATUS s = IoCallDriver(gLower, Irp);
         KeLowerIrql(old);
         return s;
     },
     LowerMode::Complete, {sim::checks::CallDriverIrql, sim::checks::CompletionIrql}},
    {"IofCallDriver to NULL",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         NTSTATUS s = IoCallDriver(nullptr, Irp);
         return Complete(Irp, s);
     },
     LowerMode::Complete, {sim::checks::CallDriverNullDevice}},
    {"no stack location left",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         IoCopyCurrentIrpStackLocationToNext(Irp);
         NTSTATUS s = IoCallDriver(gLower, Irp);
         return Complete(Irp, s);
     },
     LowerMode::Complete, {sim::checks::NoStackLocation}, IRP_MJ_DEVICE_CONTROL, 1},
    {"forwarded location keeps the upper driver's completion routine",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         // Take a location of our own that carries a completion routine, as
         // if a driver above had set it, then copy it down whole.
         IoSetCompletionRoutine(Irp, NoPropagate, nullptr, TRUE, TRUE, TRUE);
         IoSetNextIrpStackLocation(Irp);
         *IoGetNextIrpStackLocation(Irp) = *IoGetCurrentIrpStackLocation(Irp);
         return IoCallDriver(gLower, Irp);
     },
     LowerMode::Complete, {sim::checks::ForwardedCompletionRoutine}, IRP_MJ_DEVICE_CONTROL, 3},
    {"power IRP passed with IofCallDriver",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         IoSkipCurrentIrpStackLocation(Irp);
         return IoCallDriver(gLower, Irp);
     },
     LowerMode::Complete, {sim::checks::PowerIrpWithIofCallDriver}, IRP_MJ_POWER},
    {"IofCallDriver with a cancel routine set",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         IoSetCancelRoutine(Irp, NeverCalled);
         IoSkipCurrentIrpStackLocation(Irp);
         return IoCallDriver(gLower, Irp);
     },
     LowerMode::Complete, {sim::checks::CallDriverWithCancelRoutine, sim::checks::CompletedWithCancelRoutine}},
    {"IofCallDriver holding a spin lock",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         static KSPIN_LOCK lock;
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         IoSkipCurrentIrpStackLocation(Irp);
         NTSTATUS s = IoCallDriver(gLower, Irp);
         KeReleaseSpinLock(&lock, old);
         return s;
     },
     LowerMode::Complete, {sim::checks::SpinLockHeldAcrossCall, sim::checks::CompletionWithSpinLockHeld}},
    {"completion routine ignores PendingReturned",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         IoCopyCurrentIrpStackLocationToNext(Irp);
         IoSetCompletionRoutine(Irp, NoPropagate, nullptr, TRUE, TRUE, TRUE);
         return IoCallDriver(gLower, Irp);
     },
     LowerMode::Pend, {sim::checks::PendingReturnedNotPropagated, sim::checks::PendingNotMarked}},
    {"dispatch returns holding a spin lock",
     [](PDEVICE_OBJECT, PIRP Irp) NTAPI {
         static KSPIN_LOCK lock;
         KIRQL old;
         Complete(Irp, STATUS_SUCCESS);
         KeAcquireSpinLock(&lock, &old);
         return STATUS_SUCCESS;
     },
     LowerMode::Complete, {sim::checks::SpinLockHeldAtReturn, sim::checks::IrqlChanged}},
};

class VerifierTest : public KernelTest, public ::testing::WithParamInterface<DispatchCase> {};

PDRIVER_DISPATCH gCase;
NTSTATUS NTAPI CaseDispatch(PDEVICE_OBJECT Device, PIRP Irp) { return gCase(Device, Irp); }

TEST_P(VerifierTest, FaultyDispatchRoutineIsReported)
{
    const DispatchCase &c = GetParam();
    gCase = c.Dispatch;
    gLower = pdo;
    gKept = nullptr;
    PDEVICE_OBJECT fdo = AddUpper(CaseDispatch);
    lower->Mode = c.Lower;
    Sent s = SendSystemIrp(fdo, c.Major, 0, c.StackSize);
    (void)s;
    // Finish whatever the faulty driver left in flight.
    CompleteHeld(STATUS_SUCCESS);
    if (gKept != nullptr) {
        Complete(gKept, STATUS_SUCCESS);
    }
    std::vector<std::string> got;
    for (const sim::Report &r : machine.Reports()) {
        got.push_back(r.Check);
    }
    std::vector<std::string> want(c.Expected.begin(), c.Expected.end());
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << machine.ReportText();
    machine.ClearReports();
}

INSTANTIATE_TEST_SUITE_P(Dispatch, VerifierTest, ::testing::ValuesIn(kDispatchCases),
                         [](const ::testing::TestParamInfo<DispatchCase> &info) {
                             std::string name;
                             for (const char *p = info.param.Name; *p != 0; ++p) {
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

// IRPs a driver allocates or builds itself.
class OwnIrpTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        AddUpper(LowerDispatch);
        KeInitializeEvent(&event, NotificationEvent, FALSE);
    }
    void Expect(std::vector<std::string_view> Checks)
    {
        std::vector<std::string> got;
        for (const sim::Report &r : machine.Reports()) {
            got.push_back(r.Check);
        }
        std::vector<std::string> want(Checks.begin(), Checks.end());
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << machine.ReportText();
        machine.ClearReports();
    }
    KEVENT event;
    IO_STATUS_BLOCK iosb;
};

TEST_F(OwnIrpTest, AllocatedIrpWithoutRoutineIsCompletedUpward)
{
    sim::FrameScope asDriver(sim::FrameKind::Other, loaded.front());
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoCallDriver(pdo, irp);
    Expect({sim::checks::AllocatedIrpWithoutCompletionRoutine, sim::checks::AllocatedIrpCompletedUpward});
    IoFreeIrp(irp);
    EXPECT_EQ(machine.ReportText(), "");
}

TEST_F(OwnIrpTest, AllocatedIrpFreedWhileBelowAndFreedTwice)
{
    sim::FrameScope asDriver(sim::FrameKind::Other, loaded.front());
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    lower->Mode = LowerMode::Pend;
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    IoFreeIrp(irp);
    Expect({sim::checks::IrpFreedInUse});
    CompleteHeld(STATUS_SUCCESS);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    Expect({sim::checks::IrpFreedTwice});
}

TEST_F(OwnIrpTest, BuiltIrpMustBeFreedAndSignalledByTheKernelOnly)
{
    sim::FrameScope asDriver(sim::FrameKind::Other, loaded.front());
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    IoFreeIrp(irp);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    Expect({sim::checks::BuiltIrpFreedByDriver, sim::checks::BuiltIrpEventSetByDriver});
    KeClearEvent(&event);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(sim::LiveIrpCount(), 0u);
    EXPECT_EQ(machine.ReportText(), "");
}

TEST_F(OwnIrpTest, InformationBeyondTheOutputBufferAndBuildAboveApcLevel)
{
    sim::FrameScope asDriver(sim::FrameKind::Other, loaded.front());
    ULONG out = 0;
    constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, pdo, nullptr, 0, &out, sizeof(out), FALSE, &event, &iosb);
    lower->Information = 8;
    IoCallDriver(pdo, irp);
    Expect({sim::checks::InformationTooLarge});

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    irp = IoBuildDeviceIoControlRequest(0x220003, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    KeLowerIrql(old);
    Expect({sim::checks::BuildIrpIrql});
    lower->Information = 0;
    IoCallDriver(pdo, irp);
}

TEST_F(OwnIrpTest, CompletionRoutineThatFreesMustKeepTheIrp)
{
    sim::FrameScope asDriver(sim::FrameKind::Other, loaded.front());
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP I, PVOID) NTAPI -> NTSTATUS {
        IoFreeIrp(I);
        return STATUS_SUCCESS;  // should be STATUS_MORE_PROCESSING_REQUIRED
    }, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(pdo, irp);
    Expect({sim::checks::IrpFreedInUse});
}

// Lock and wait rules outside IRP handling.
class LockRulesTest : public KernelTest {};

TEST_F(LockRulesTest, MisuseIsReportedWithoutDeadlocking)
{
    struct Case {
        const char *Name;
        std::string_view Check;
        void (*Fault)();
    } cases[] = {
        {"recursive acquisition", sim::checks::SpinLockRecursive,
         [] {
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KIRQL a;
             KIRQL b;
             KeAcquireSpinLock(&lock, &a);
             KeAcquireSpinLock(&lock, &b);
             KeReleaseSpinLock(&lock, a);
         }},
        {"release without acquisition", sim::checks::SpinLockNotHeld,
         [] {
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             KeReleaseSpinLock(&lock, old);
         }},
        {"acquisition at DPC level from PASSIVE_LEVEL", sim::checks::SpinLockIrql,
         [] {
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KeAcquireSpinLockAtDpcLevel(&lock);
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             KeReleaseSpinLockFromDpcLevel(&lock);
             KeLowerIrql(old);
         }},
        {"untimed wait at DISPATCH_LEVEL", sim::checks::WaitIrql,
         [] {
             KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, FALSE);
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
             KeLowerIrql(old);
         }},
        {"wait holding a spin lock", sim::checks::WaitWithSpinLockHeld,
         [] {
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KEVENT e;
             KeInitializeEvent(&e, NotificationEvent, TRUE);
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             // Raise reporting is not what this case is about: drop to
             // APC_LEVEL bookkeeping-free by waiting on a signalled event.
             KfLowerIrql(APC_LEVEL);
             KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
             KfRaiseIrql(DISPATCH_LEVEL);
             KeReleaseSpinLock(&lock, old);
         }},
    };
    for (const Case &c : cases) {
        c.Fault();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << c.Name;
        std::vector<std::string> got;
        for (const sim::Report &r : machine.Reports()) {
            got.push_back(r.Check);
        }
        EXPECT_NE(std::find(got.begin(), got.end(), std::string(c.Check)), got.end()) << c.Name << "\n"
                                                                                     << machine.ReportText();
        machine.ClearReports();
    }
    // A zero time-out poll is allowed at DISPATCH_LEVEL.
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeLowerIrql(old);
    EXPECT_EQ(machine.ReportText(), "");
}

}  // namespace

TEST_F(OwnIrpTest, PendingBuiltRequestIsWaitedForBeforeItsSenderReturns)
{
    lower->Mode = LowerMode::Pend;
    {
        sim::FrameScope routine(sim::FrameKind::Other, loaded.front());
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    }
    Expect({sim::checks::BuiltIrpNotWaited});
    CompleteHeld(STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);

    // Finished before the wait: the wait is still owed, and then enough.
    KeClearEvent(&event);
    iosb.Status = STATUS_PENDING;
    {
        sim::FrameScope routine(sim::FrameKind::Other, loaded.front());
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
        CompleteHeld(STATUS_UNSUCCESSFUL);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    }
    EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(machine.ReportText(), "");
}

TEST_F(OwnIrpTest, DriverCancelsOnlyIrpsItTakesPartIn)
{
    lower->Mode = LowerMode::Pend;
    // Leaves the IRP held; CompleteHeld finishes it.
    lower->CancelRoutine = [](PDEVICE_OBJECT, PIRP Irp) NTAPI { IoReleaseCancelSpinLock(Irp->CancelIrql); };
    auto sendToPdo = [&](PIRP Irp) {
        IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(Irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(pdo, Irp), STATUS_PENDING);
    };
    // Another component's IRP, held by the PDO: none of the driver's business.
    PIRP foreign = IoAllocateIrp(pdo->StackSize, FALSE);
    sendToPdo(foreign);
    {
        sim::FrameScope asDriver(sim::FrameKind::Other, loaded.front());
        EXPECT_TRUE(IoCancelIrp(foreign));
    }
    Expect({sim::checks::CancelForeignIrp});

    // The driver's own IRP, and one it received and passed down.
    PIRP own;
    {
        sim::FrameScope asDriver(sim::FrameKind::Other, loaded.front());
        own = IoAllocateIrp(pdo->StackSize, FALSE);
        sendToPdo(own);
        EXPECT_TRUE(IoCancelIrp(own));
    }
    PIRP received = IoAllocateIrp(static_cast<CCHAR>(pdo->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(received);
    IoGetCurrentIrpStackLocation(received)->DeviceObject = fdos.front();
    {
        sim::FrameScope asDriver(sim::FrameKind::Other, loaded.front());
        sendToPdo(received);
        EXPECT_TRUE(IoCancelIrp(received));
    }
    EXPECT_EQ(machine.ReportText(), "");
    CompleteHeld(STATUS_CANCELLED);
    for (PIRP irp : {foreign, own, received}) {
        IoFreeIrp(irp);
    }
    EXPECT_EQ(machine.ReportText(), "");
}
