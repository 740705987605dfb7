// Driver entry, device creation, the registry setting, the WDM level probe,
// the outstanding-I/O accounting and the synchronous bus requests, driven
// through the simulated PnP manager above the fake bus.
#include <gtest/gtest.h>

#include <string>

#include "driver/Driver.h"
#include "sim/kernel/DeviceInterfaces.h"
#include "support/DriverFixture.h"

namespace {

using vxtest::DriverFixture;
using vxtest::Match;
using vxtest::Rule;

bool Signalled(KEVENT &Event)
{
    return KeReadStateEvent(&Event) != 0;
}

// Runs driver code outside an IRP, as the driver's own frame.
template <class F>
auto AsDriver(DriverFixture &f, F &&Fn)
{
    sim::FrameScope frame(sim::FrameKind::Other, f.driver(), f.Fdo());
    return Fn();
}

TEST(DriverEntry, KeepsATerminatedCopyOfTheRegistryPath)
{
    DriverFixture f;
    const std::u16string expected(vx::kVextoraServiceKey);
    ASSERT_NE(SavedRegistryPath.Buffer, nullptr);
    EXPECT_EQ(SavedRegistryPath.Length, expected.size() * 2);
    EXPECT_EQ(SavedRegistryPath.MaximumLength, expected.size() * 2 + 2);
    EXPECT_EQ(std::u16string(SavedRegistryPath.Buffer, expected.size()), expected);
    EXPECT_EQ(SavedRegistryPath.Buffer[expected.size()], 0);
    EXPECT_NE(f.driver()->DriverUnload, nullptr);
    EXPECT_NE(f.driver()->DriverExtension->AddDevice, nullptr);
}

TEST(DriverEntry, EmptyAndOversizedRegistryPaths)
{
    sim::Machine machine;
    sim::ThreadScope scope(machine);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = machine.LoadDriver(vx::kVextoraDriverName, DriverEntry, u"", &status);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(SavedRegistryPath.Length, 0);
    EXPECT_EQ(SavedRegistryPath.MaximumLength, 2);
    EXPECT_EQ(SavedRegistryPath.Buffer[0], 0);
    machine.UnloadDriver(driver);
    EXPECT_EQ(SavedRegistryPath.Buffer, nullptr);

    // Length 0xFFFE would wrap MaximumLength to 0 and overrun the copy.
    const std::u16string huge(0x7FFF, u'x');
    EXPECT_EQ(machine.LoadDriver(vx::kVextoraDriverName, DriverEntry, huge, &status), nullptr);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(machine.ReportText(), "");
}

TEST(DriverEntry, NoPoolForTheCopyInstallsNothing)
{
    sim::Machine machine;
    sim::ThreadScope scope(machine);
    machine.SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::Pool), 1});
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(machine.LoadDriver(vx::kVextoraDriverName, DriverEntry, vx::kVextoraServiceKey, &status),
              nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SavedRegistryPath.Buffer, nullptr);
    machine.CheckForLeaks();
    EXPECT_EQ(machine.ReportText(), "");
}

TEST(AddDevice, FreshDeviceIsQuietAndRegistered)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    DeviceExtension *ext = f.Extension();
    EXPECT_EQ(ext->OutstandingIo, 1);
    EXPECT_TRUE(Signalled(ext->NoIoInFlightEvent));
    EXPECT_FALSE(Signalled(ext->RemoveReadyEvent));
    EXPECT_EQ(ext->DevicePower, PowerDeviceD0);
    EXPECT_EQ(ext->SystemPower, PowerSystemWorking);
    EXPECT_EQ(ext->PhysicalDevice, f.pdo());
    EXPECT_EQ(ext->LowerDevice, f.pdo());
    EXPECT_NE(f.Fdo()->Flags & DO_DIRECT_IO, 0u);
    EXPECT_EQ(f.Fdo()->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_NE(f.Fdo()->Flags & DO_POWER_PAGABLE, 0u) << "inherited from the PDO";
    const auto links =
        f.machine().Component<sim::DeviceInterfaces>().Enabled(VextoraInterfaceClassGuid);
    EXPECT_EQ(links.size(), 1u);
}

// Every allocation of the arrival (AddDevice, capabilities, start) fails in
// turn; whatever failed, the removal and unload leave nothing behind.
TEST(AddDevice, EachAllocationFailureLeavesNothingBehind)
{
    for (uint64_t n = 1;; ++n) {
        DriverFixture f;
        f.machine().SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::All), n});
        const NTSTATUS status = f.Plug();
        f.machine().SetFaultPlan({});
        if (f.machine().InjectedFailures() == 0) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_GT(n, 5u) << "the arrival allocates more than this";
            break;
        }
        if (!NT_SUCCESS(status)) {
            // A failed AddDevice leaves no device; a failed start is answered
            // by a removal, after which none is left either.
            EXPECT_EQ(f.pnp().State(f.pdo()), sim::NodeState::AddFailed) << "allocation " << n;
            EXPECT_EQ(f.driver()->DeviceObject, nullptr) << "allocation " << n;
        }
        f.Finish();
        ASSERT_FALSE(::testing::Test::HasFailure()) << "allocation " << n;
    }
}

TEST(AddDevice, InterfaceRegistrationFailureUndoesEverything)
{
    DriverFixture f;
    // A PDO the PnP manager never heard of cannot carry a device interface.
    PDEVICE_OBJECT stranger = nullptr;
    PDRIVER_OBJECT busDriver = f.machine().CreateSystemDriver(u"\\Driver\\stranger");
    ASSERT_EQ(IoCreateDevice(busDriver, 0, nullptr, FILE_DEVICE_UNKNOWN,
                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &stranger),
              STATUS_SUCCESS);
    stranger->Flags &= ~DO_DEVICE_INITIALIZING;

    const NTSTATUS status = sim::CallInFrame(sim::FrameKind::AddDevice, f.driver(), nullptr,
                                             nullptr, nullptr,
                                             [&] { return AddDevice(f.driver(), stranger); });
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(f.driver()->DeviceObject, nullptr);
    EXPECT_EQ(stranger->AttachedDevice, nullptr);
    IoDeleteDevice(stranger);
}

struct RegistryCase {
    const char *What;
    UCHAR WdmMinor;
    enum { NoKey, NoValue, Dword, String, Binary } Setting;
    ULONG Value;
    ULONG ExpectedLevel;
    ULONG ExpectedConfigured;
};

TEST(AddDevice, RegistrySettingAndWdmLevel)
{
    const RegistryCase cases[] = {
        {"key absent", 0x20, RegistryCase::NoKey, 0, 0, 0},
        {"value absent", 0x20, RegistryCase::NoValue, 0, 0, 0},
        {"0", 0x20, RegistryCase::Dword, 0, 0, 0},
        {"1", 0x20, RegistryCase::Dword, 1, 0, 1},
        {"2", 0x20, RegistryCase::Dword, 2, 0, 2},
        {"0xFFFFFFFF", 0x20, RegistryCase::Dword, 0xFFFFFFFF, 0, 0xFFFFFFFF},
        // Not a REG_DWORD: read as not set, never written past the ULONG.
        {"REG_SZ", 0x20, RegistryCase::String, 0, 0, 0},
        {"REG_BINARY of 16 bytes", 0x20, RegistryCase::Binary, 0, 0, 0},
        {"WDM 1.10 ignores the setting", 0x10, RegistryCase::Dword, 1, 1, 0},
        {"WDM 1.05", 0x05, RegistryCase::Dword, 1, 2, 0},
        {"WDM 1.00", 0x00, RegistryCase::Dword, 1, 3, 0},
    };
    for (const RegistryCase &c : cases) {
        vx::RigOptions options;
        options.Machine.WdmMinor = c.WdmMinor;
        DriverFixture f(options);
        switch (c.Setting) {
        case RegistryCase::NoKey:
            break;
        case RegistryCase::NoValue:
            f.registry().CreateKey(vx::kVextoraParametersKey);
            break;
        case RegistryCase::Dword:
            f.registry().SetDword(vx::kVextoraParametersKey, u"VextoraEnable", c.Value);
            break;
        case RegistryCase::String:
            f.registry().SetString(vx::kVextoraParametersKey, u"VextoraEnable", u"1");
            break;
        case RegistryCase::Binary: {
            const uint8_t bytes[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
            f.registry().SetBinary(vx::kVextoraParametersKey, u"VextoraEnable", bytes);
            break;
        }
        }
        ASSERT_EQ(f.Plug(), STATUS_SUCCESS) << c.What;
        DeviceExtension *ext = f.Extension();
        EXPECT_EQ(ext->WdmLevel, c.ExpectedLevel) << c.What;
        EXPECT_EQ(ext->IdleSuspendConfigured, c.ExpectedConfigured) << c.What;
        EXPECT_EQ(ext->IdleSuspendActive != 0, c.ExpectedConfigured != 0) << c.What;
    }
}

TEST(QueryRegistryDword, RefusesAKeyPathLongerThan255Characters)
{
    DriverFixture f;
    const std::u16string longPath = u"\\REGISTRY\\Machine\\" + std::u16string(240, u'k');
    f.registry().SetDword(longPath, u"VextoraEnable", 7);
    ULONG value = 99;
    const NTSTATUS status = AsDriver(f, [&] {
        return QueryRegistryDword(longPath.c_str(), u"VextoraEnable", &value);
    });
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(value, 0u);

    const std::u16string fits = u"\\REGISTRY\\Machine\\" + std::u16string(237, u'k');
    ASSERT_EQ(fits.size(), 255u);
    f.registry().SetDword(fits, u"VextoraEnable", 7);
    EXPECT_EQ(AsDriver(f, [&] { return QueryRegistryDword(fits.c_str(), u"VextoraEnable", &value); }),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 7u);
}

// The count and its two events, step by step from the quiet state down to 0.
TEST(IoCount, EventsFollowTheCount)
{
    sim::Machine machine;
    sim::ThreadScope scope(machine);
    DeviceExtension ext{};
    KeInitializeSpinLock(&ext.OutstandingIoLock);
    KeInitializeEvent(&ext.RemoveReadyEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&ext.NoIoInFlightEvent, SynchronizationEvent, TRUE);
    ext.OutstandingIo = 1;

    struct Step {
        bool Increment;
        LONG Count;
        bool NoIoInFlight;
        bool RemoveReady;
    } const steps[] = {
        {true, 2, false, false},  {true, 3, false, false}, {false, 2, false, false},
        {false, 1, true, false},  {true, 2, false, false}, {false, 1, true, false},
        {false, 0, true, true},
    };
    for (const Step &step : steps) {
        if (step.Increment) {
            IncrementIoCount(&ext);
        } else {
            DecrementIoCount(&ext);
        }
        EXPECT_EQ(ext.OutstandingIo, step.Count);
        EXPECT_EQ(Signalled(ext.NoIoInFlightEvent), step.NoIoInFlight) << "count " << step.Count;
        EXPECT_EQ(Signalled(ext.RemoveReadyEvent), step.RemoveReady) << "count " << step.Count;
    }
    EXPECT_EQ(machine.ReportText(), "");
}

// A descriptor read URB, owned by the test.
struct DeviceDescriptorRead {
    _URB_CONTROL_DESCRIPTOR_REQUEST Request{};
    UCHAR Buffer[18]{};
    DeviceDescriptorRead()
    {
        Request.Hdr.Length = sizeof(Request);
        Request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        Request.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        Request.TransferBuffer = Buffer;
        Request.TransferBufferLength = sizeof(Buffer);
    }
    PURB Urb() { return reinterpret_cast<PURB>(&Request); }
};

TEST(SubmitUrbSync, InlineFailureAndMissingIrp)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    f.ClearRecords();
    const Match urbs = Match::Ioctl(IOCTL_INTERNAL_USB_SUBMIT_URB);
    f.port().Set(urbs, Rule::Complete(STATUS_DEVICE_NOT_CONNECTED));
    DeviceDescriptorRead read;
    EXPECT_EQ(AsDriver(f, [&] { return SubmitUrbSync(f.Fdo(), read.Urb()); }),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(f.Extension()->OutstandingIo, 1);
    EXPECT_EQ(f.port().Count(urbs), 1u);
    f.port().Clear(urbs);

    f.machine().SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::Irp), 1});
    EXPECT_EQ(AsDriver(f, [&] { return SubmitUrbSync(f.Fdo(), read.Urb()); }),
              STATUS_INSUFFICIENT_RESOURCES);
    f.machine().SetFaultPlan({});
    EXPECT_EQ(f.Extension()->OutstandingIo, 1);
    EXPECT_EQ(f.port().Count(urbs), 1u) << "nothing may be sent without an IRP";
}

TEST(SubmitUrbSync, PendingRequestHoldsACountUntilItCompletes)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    f.bus().HoldUrbs = true;
    DeviceDescriptorRead read;
    NTSTATUS status = STATUS_PENDING;
    sim::SimThread *caller = f.machine().StartThread("submitter", [&] {
        status = AsDriver(f, [&] { return SubmitUrbSync(f.Fdo(), read.Urb()); });
    });
    while (f.bus().HeldCount() == 0) {
        f.machine().Sleep(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(ReadNoFence(&f.Extension()->OutstandingIo), 2);
    EXPECT_FALSE(Signalled(f.Extension()->NoIoInFlightEvent));
    f.bus().HoldUrbs = false;
    f.bus().CompleteHeld();
    f.machine().Join(caller);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(read.Buffer[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(f.Extension()->OutstandingIo, 1);
}

TEST(ResetPipe, SendsTheResetAndFoldsSuccessCodes)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION pipe = &f.Extension()->InterfaceInfo->Pipes[1];
    struct {
        NTSTATUS BusAnswer;
        NTSTATUS Expected;
    } const cases[] = {
        {STATUS_SUCCESS, STATUS_SUCCESS},
        {static_cast<NTSTATUS>(0x40000000), STATUS_SUCCESS},  // informational
        {STATUS_DEVICE_DATA_ERROR, STATUS_DEVICE_DATA_ERROR},
    };
    const Match reset = Match::Urb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    for (const auto &c : cases) {
        f.ClearRecords();
        f.port().Set(reset, Rule::Complete(c.BusAnswer));
        EXPECT_EQ(AsDriver(f, [&] { return ResetPipe(f.Fdo(), pipe); }), c.Expected);
        const auto urbs = f.Urbs();
        ASSERT_EQ(urbs.size(), 1u);
        const _URB_PIPE_REQUEST &sent = urbs[0].Urb().UrbPipeRequest;
        EXPECT_EQ(sent.Hdr.Function, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
        EXPECT_EQ(sent.Hdr.Length, sizeof(_URB_PIPE_REQUEST));
        EXPECT_EQ(sent.PipeHandle, pipe->PipeHandle);
    }
    f.port().Clear(reset);
    f.machine().SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::Pool), 1});
    EXPECT_EQ(AsDriver(f, [&] { return ResetPipe(f.Fdo(), pipe); }), STATUS_INSUFFICIENT_RESOURCES);
    f.machine().SetFaultPlan({});
}

TEST(ResetDevice, ResetsThePortOnlyWhenConnectedButDisabled)
{
    struct {
        const char *What;
        ULONG Port;
        NTSTATUS PortStatusResult;
        unsigned ExpectedResets;
        NTSTATUS Expected;
    } const cases[] = {
        {"enabled and connected", USBD_PORT_ENABLED | USBD_PORT_CONNECTED, STATUS_SUCCESS, 0,
         STATUS_SUCCESS},
        {"nothing connected", 0, STATUS_SUCCESS, 0, STATUS_SUCCESS},
        {"connected, port disabled", USBD_PORT_CONNECTED, STATUS_SUCCESS, 1, STATUS_IO_TIMEOUT},
        {"port status fails", USBD_PORT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED, 0,
         STATUS_DEVICE_NOT_CONNECTED},
    };
    for (const auto &c : cases) {
        DriverFixture f;
        ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
        const Match portStatus = Match::Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS);
        const Match resetPort = Match::Ioctl(IOCTL_INTERNAL_USB_RESET_PORT);
        f.bus().PortStatus = c.Port;
        if (!NT_SUCCESS(c.PortStatusResult)) {
            f.port().Set(portStatus, Rule::Complete(c.PortStatusResult));
        }
        f.port().Set(resetPort, Rule::Complete(STATUS_IO_TIMEOUT));  // proves its status is the one returned
        EXPECT_EQ(AsDriver(f, [&] { return ResetDevice(f.Fdo()); }), c.Expected) << c.What;
        EXPECT_EQ(f.port().Count(portStatus), 1u) << c.What;
        EXPECT_EQ(f.port().Count(resetPort), c.ExpectedResets) << c.What;
        EXPECT_EQ(f.Extension()->OutstandingIo, 1) << c.What;
    }
}

TEST(GetPortStatus, NoIrpLeavesZero)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    ULONG port = 0xDEAD;
    f.machine().SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::Irp), 1});
    EXPECT_EQ(AsDriver(f, [&] { return GetPortStatus(f.Fdo(), &port); }),
              STATUS_INSUFFICIENT_RESOURCES);
    f.machine().SetFaultPlan({});
    EXPECT_EQ(port, 0u);
    EXPECT_EQ(f.port().Count(Match::Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS)), 0u);
}

}  // namespace
