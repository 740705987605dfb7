// The PnP state machine through the PnP manager's real sequences: what the
// device state becomes, what reaches the bus, and what is left afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "driver/Driver.h"
#include "pnp/Pnp.h"
#include "sim/kernel/DeviceInterfaces.h"
#include "support/DriverFixture.h"

namespace {

using vxtest::DriverFixture;
using vxtest::Match;
using vxtest::PortRequest;
using vxtest::Rule;
using vxtest::UrbAnswer;

size_t EnabledInterfaces(DriverFixture &f)
{
    return f.machine().Component<sim::DeviceInterfaces>().Enabled(VextoraInterfaceClassGuid).size();
}

size_t CountUrbs(DriverFixture &f, USHORT Function)
{
    return f.port().Count(Match::Urb(Function));
}

TEST(Pnp, StartConfiguresEnablesAndWorks)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(f.Extension()->DeviceState, Working);
    EXPECT_EQ(EnabledInterfaces(f), 1u);
    const auto urbs = f.Urbs();
    ASSERT_EQ(urbs.size(), 4u);
    struct {
        UCHAR Type;
        ULONG Length;
    } const reads[] = {{USB_DEVICE_DESCRIPTOR_TYPE, 18}, {USB_CONFIGURATION_DESCRIPTOR_TYPE, 9},
                       {USB_CONFIGURATION_DESCRIPTOR_TYPE, 32}};
    for (int i = 0; i < 3; ++i) {
        const _URB_CONTROL_DESCRIPTOR_REQUEST &read = urbs[i].Urb().UrbControlDescriptorRequest;
        EXPECT_EQ(read.Hdr.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        EXPECT_EQ(read.Hdr.Length, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
        EXPECT_EQ(read.DescriptorType, reads[i].Type);
        EXPECT_EQ(read.TransferBufferLength, reads[i].Length);
        EXPECT_EQ(read.Index, 0);
        EXPECT_EQ(read.LanguageId, 0);
        EXPECT_EQ(read.TransferBufferMDL, nullptr);
    }
    EXPECT_EQ(urbs[3].UrbFunction(), URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(f.Extension()->OutstandingIo, 1);
}

TEST(Pnp, RebalanceReconfiguresWithNewRecords)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    const ULONG generation = f.Extension()->ConfigurationGeneration;
    const USBD_PIPE_HANDLE oldPipe = f.Extension()->InterfaceInfo->Pipes[0].PipeHandle;
    f.ClearRecords();

    ASSERT_EQ(f.pnp().QueryStop(f.pdo()), STATUS_SUCCESS);
    EXPECT_EQ(f.Extension()->DeviceState, PendingStop);
    ASSERT_EQ(f.pnp().Stop(f.pdo()), STATUS_SUCCESS);
    EXPECT_EQ(f.Extension()->DeviceState, Stopped);
    EXPECT_EQ(f.Extension()->InterfaceInfo, nullptr);
    EXPECT_EQ(f.Extension()->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(f.Extension()->PipeOpenCounts, nullptr);
    EXPECT_EQ(EnabledInterfaces(f), 1u) << "a stop leaves the interface enabled";
    auto urbs = f.Urbs();
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].Urb().UrbSelectConfiguration.ConfigurationDescriptor, nullptr);
    EXPECT_EQ(urbs[0].Urb().UrbHeader.Length, sizeof(_URB_SELECT_CONFIGURATION));

    ASSERT_EQ(f.pnp().Start(f.pdo()), STATUS_SUCCESS);
    EXPECT_EQ(f.Extension()->DeviceState, Working);
    EXPECT_EQ(CountUrbs(f, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 3u);
    EXPECT_EQ(CountUrbs(f, URB_FUNCTION_SELECT_CONFIGURATION), 2u);
    // A handle opened before the stop can tell its records are gone.
    EXPECT_NE(f.Extension()->ConfigurationGeneration, generation);
    EXPECT_NE(f.Extension()->InterfaceInfo->Pipes[0].PipeHandle, oldPipe);
    EXPECT_EQ(f.Extension()->OutstandingIo, 1);
}

TEST(Pnp, CancelledQueriesReturnToTheStateBefore)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    struct {
        NTSTATUS (sim::PnpManager::*Query)(PDEVICE_OBJECT);
        NTSTATUS (sim::PnpManager::*Cancel)(PDEVICE_OBJECT);
        enum DeviceState Pending;
    } const cases[] = {
        {&sim::PnpManager::QueryStop, &sim::PnpManager::CancelStop, PendingStop},
        {&sim::PnpManager::QueryRemove, &sim::PnpManager::CancelRemove, PendingRemove},
    };
    for (const auto &c : cases) {
        ASSERT_EQ((f.pnp().*c.Query)(f.pdo()), STATUS_SUCCESS);
        EXPECT_EQ(f.Extension()->DeviceState, c.Pending);
        EXPECT_EQ(f.Extension()->PreviousDeviceState, Working);
        // Still quiet: a power-down waiting now must not sleep forever.
        EXPECT_NE(KeReadStateEvent(&f.Extension()->NoDeviceIoEvent), 0);
        ASSERT_EQ((f.pnp().*c.Cancel)(f.pdo()), STATUS_SUCCESS);
        EXPECT_EQ(f.Extension()->DeviceState, Working);
        EXPECT_EQ(f.Extension()->OutstandingIo, 1);

        // Outside the pending state the cancel only goes down.
        const size_t before = f.PnpMinors().size();
        EXPECT_EQ((f.pnp().*c.Cancel)(f.pdo()), STATUS_SUCCESS);
        EXPECT_EQ(f.Extension()->DeviceState, Working);
        EXPECT_EQ(f.PnpMinors().size(), before + 1);
    }
}

TEST(Pnp, CancelStopRefusedBelowStaysPending)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    ASSERT_EQ(f.pnp().QueryStop(f.pdo()), STATUS_SUCCESS);
    f.port().Set(Match::Pnp(IRP_MN_CANCEL_STOP_DEVICE), Rule::Complete(STATUS_UNSUCCESSFUL));
    EXPECT_EQ(f.pnp().CancelStop(f.pdo()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(f.Extension()->DeviceState, PendingStop);
    f.machine().ClearReports();  // the fake bus, not the driver, failed a must-not-fail request
    f.port().ClearRules();
    EXPECT_EQ(f.pnp().CancelStop(f.pdo()), STATUS_SUCCESS);
    EXPECT_EQ(f.Extension()->DeviceState, Working);
}

TEST(Pnp, SurpriseRemovalThenRemovalTearsDownOnce)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    // Pretend handles are open on both pipes, as the create path counts them.
    f.Extension()->PipeOpenCounts[0] = 1;
    f.Extension()->PipeOpenCounts[1] = 1;
    f.ClearRecords();

    ASSERT_EQ(f.pnp().SurpriseRemove(f.pdo()), STATUS_SUCCESS);
    EXPECT_EQ(f.Extension()->DeviceState, SurpriseRemoved);
    EXPECT_EQ(EnabledInterfaces(f), 0u);
    EXPECT_EQ(f.Extension()->InterfaceLinkName.Buffer, nullptr);
    EXPECT_NE(f.Extension()->InterfaceInfo, nullptr) << "records stay until the removal";
    EXPECT_EQ(CountUrbs(f, URB_FUNCTION_ABORT_PIPE), 2u);

    ASSERT_EQ(f.pnp().Remove(f.pdo()), STATUS_SUCCESS);
    EXPECT_EQ(CountUrbs(f, URB_FUNCTION_ABORT_PIPE), 2u) << "removal must not abort again";
    EXPECT_EQ(CountUrbs(f, URB_FUNCTION_SELECT_CONFIGURATION), 0u) << "no unconfigure at removal";
    EXPECT_EQ(f.pnp().State(f.pdo()), sim::NodeState::Removed);
}

TEST(Pnp, RemovalAfterFailedStart)
{
    DriverFixture f;
    f.bus().UrbFault = [](const PortRequest &urb, size_t) -> std::optional<UrbAnswer> {
        if (urb.UrbFunction() == URB_FUNCTION_SELECT_CONFIGURATION) {
            return UrbAnswer::Failing(STATUS_DEVICE_NOT_CONNECTED);
        }
        return std::nullopt;
    };
    // The PnP manager answers the failed start with a removal; the stored
    // descriptor must go with it (Finish checks the pool).
    EXPECT_EQ(f.Plug(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(f.pnp().State(f.pdo()), sim::NodeState::AddFailed);
    EXPECT_EQ(f.driver()->DeviceObject, nullptr);
    EXPECT_EQ(EnabledInterfaces(f), 0u);
    const auto minors = f.PnpMinors();
    EXPECT_EQ(std::count(minors.begin(), minors.end(), IRP_MN_REMOVE_DEVICE), 1);
}

TEST(Pnp, FailedRestartKeepsTheStateAndWhatWasStored)
{
    DriverFixture f;
    f.PlugAndStop();
    f.bus().UrbFault = [](const PortRequest &urb, size_t) -> std::optional<UrbAnswer> {
        if (urb.UrbFunction() == URB_FUNCTION_SELECT_CONFIGURATION) {
            return UrbAnswer::Failing(STATUS_DEVICE_NOT_CONNECTED);
        }
        return std::nullopt;
    };
    EXPECT_EQ(f.pnp().Start(f.pdo()), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(f.Extension()->DeviceState, Stopped);
    EXPECT_NE(f.Extension()->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(f.Extension()->InterfaceInfo, nullptr);
    // A second start frees what the failed one stored before storing anew.
    f.bus().UrbFault = nullptr;
    EXPECT_EQ(f.pnp().Start(f.pdo()), STATUS_SUCCESS);
    EXPECT_EQ(f.Extension()->DeviceState, Working);
}

TEST(Pnp, RemovalWaitsForARequestInFlight)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    f.bus().HoldUrbs = true;
    _URB_CONTROL_DESCRIPTOR_REQUEST request{};
    UCHAR buffer[18];
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    request.TransferBuffer = buffer;
    request.TransferBufferLength = sizeof(buffer);
    PDEVICE_OBJECT fdo = f.Fdo();

    sim::SimThread *submitter = f.machine().StartThread("submitter", [&] {
        sim::FrameScope frame(sim::FrameKind::Other, f.driver(), fdo);
        EXPECT_EQ(SubmitUrbSync(fdo, reinterpret_cast<PURB>(&request)), STATUS_SUCCESS);
    });
    while (f.bus().HeldCount() == 0) {
        f.machine().Sleep(std::chrono::milliseconds(1));
    }
    NTSTATUS removal = STATUS_PENDING;
    sim::SimThread *remover = f.machine().StartThread("remover", [&] { removal = f.pnp().Remove(f.pdo()); });
    f.machine().Sleep(std::chrono::seconds(1));
    const auto minors = f.PnpMinors();
    EXPECT_EQ(std::count(minors.begin(), minors.end(), IRP_MN_REMOVE_DEVICE), 0)
        << "the removal went down before the request finished";
    EXPECT_NE(f.pnp().State(f.pdo()), sim::NodeState::Removed);

    f.bus().HoldUrbs = false;
    f.bus().CompleteHeld();
    f.machine().Join(submitter);
    f.machine().Join(remover);
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_EQ(f.PnpMinors().back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(f.pnp().State(f.pdo()), sim::NodeState::Removed);
}

struct CapabilitiesCase {
    DEVICE_POWER_STATE S1, S2, S3;
    DEVICE_POWER_STATE Expected;
};

TEST(Pnp, CapabilitiesGiveTheIdlePowerState)
{
    const CapabilitiesCase cases[] = {
        {PowerDeviceD1, PowerDeviceD3, PowerDeviceD3, PowerDeviceD1},
        {PowerDeviceD2, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
        {PowerDeviceD1, PowerDeviceD1, PowerDeviceD1, PowerDeviceD1},
        {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2},
        {PowerDeviceD0, PowerDeviceD0, PowerDeviceD0, PowerDeviceD2},
        {PowerDeviceD1, PowerDeviceD2, PowerDeviceUnspecified, PowerDeviceD2},
    };
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    f.bus().ClearSurpriseRemovalOk = true;
    for (const CapabilitiesCase &c : cases) {
        f.bus().SleepStates[0] = c.S1;
        f.bus().SleepStates[1] = c.S2;
        f.bus().SleepStates[2] = c.S3;
        DEVICE_CAPABILITIES answered{};
        ASSERT_EQ(f.pnp().QueryCapabilities(f.pdo(), &answered), STATUS_SUCCESS);
        EXPECT_EQ(f.Extension()->IdlePowerState, c.Expected) << c.S1 << c.S2 << c.S3;
        EXPECT_EQ(f.Extension()->Capabilities.DeviceState[PowerSystemSleeping3], c.S3);
        EXPECT_TRUE(answered.SurpriseRemovalOK);
    }
}

TEST(Pnp, CapabilitiesRefusedOrFailedBelow)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    const DEVICE_CAPABILITIES kept = f.Extension()->Capabilities;

    for (const auto &[version, size] : {std::pair<USHORT, USHORT>{0, 64}, {1, 63}}) {
        DEVICE_CAPABILITIES caps{};
        caps.Version = version;
        caps.Size = size;
        const size_t minors = f.PnpMinors().size();
        EXPECT_EQ(f.pnp().SendMinor(f.pdo(), IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(f.PnpMinors().size(), minors) << "refused without going down";
    }

    // A bus that writes into the capabilities and then fails the query.
    f.port().Set(Match::Pnp(IRP_MN_QUERY_CAPABILITIES), Rule::Answer([](PIRP Irp) {
                     PDEVICE_CAPABILITIES caps =
                         IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
                     std::fill(std::begin(caps->DeviceState), std::end(caps->DeviceState), PowerDeviceD1);
                     return STATUS_NOT_SUPPORTED;
                 }));
    EXPECT_EQ(f.pnp().QueryCapabilities(f.pdo()), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(f.Extension()->IdlePowerState, PowerDeviceD2);
    EXPECT_EQ(std::memcmp(&f.Extension()->Capabilities, &kept, sizeof(kept)), 0);
    EXPECT_EQ(f.Extension()->OutstandingIo, 1);
}

TEST(Pnp, OtherRequestsPassDownUnchanged)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    const size_t minors = f.PnpMinors().size();
    EXPECT_EQ(f.pnp().SendMinor(f.pdo(), IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED);
    ASSERT_EQ(f.PnpMinors().size(), minors + 1);
    EXPECT_EQ(f.PnpMinors().back(), IRP_MN_QUERY_PNP_DEVICE_STATE);
    EXPECT_EQ(f.Extension()->OutstandingIo, 1);
}

}  // namespace
