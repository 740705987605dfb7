// The PnP manager: what it sends, in which order, what it returns, and the
// faults of a function driver it reports.
#include <gtest/gtest.h>

#include "ToyStack.h"

namespace {

using toy::Stack;

std::vector<UCHAR> Minors() { return toy::Current().Record.PnpMinors; }

TEST(PnpManager, ArrivalAddsQueriesCapabilitiesAndStarts)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(stack.Pnp().State(stack.Pdo()), sim::NodeState::Started);
    EXPECT_EQ(Minors(), (std::vector<UCHAR>{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE}));
    EXPECT_NE(stack.Fdo(), nullptr);
    EXPECT_FALSE(stack.Link().empty());

    DEVICE_CAPABILITIES caps{};
    ASSERT_EQ(stack.Pnp().QueryCapabilities(stack.Pdo(), &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
    EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
}

TEST(PnpManager, RequestsStartNotSupportedAndReturnTheStacksStatus)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    // Nobody in the stack handles this one; its initial status comes back.
    EXPECT_EQ(stack.Pnp().SendMinor(stack.Pdo(), IRP_MN_QUERY_DEVICE_TEXT), STATUS_NOT_SUPPORTED);
    toy::Current().Fault.FailQueryStop = true;
    EXPECT_EQ(stack.Pnp().QueryStop(stack.Pdo()), STATUS_UNSUCCESSFUL);
    toy::Current().Fault.FailQueryStop = false;
}

TEST(PnpManager, SequencesSendWhatWindowsSends)
{
    struct Case {
        const char *Name;
        bool FailQueryStop;
        bool FailQueryRemove;
        NTSTATUS (sim::PnpManager::*Sequence)(PDEVICE_OBJECT);
        NTSTATUS Expected;
        std::vector<UCHAR> Sent;  // after the start
        sim::NodeState After;
    };
    const Case cases[] = {
        {"disable", false, false, &sim::PnpManager::Disable, STATUS_SUCCESS,
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}, sim::NodeState::Removed},
        {"disable refused", false, true, &sim::PnpManager::Disable, STATUS_UNSUCCESSFUL,
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, sim::NodeState::Started},
        {"rebalance", false, false, &sim::PnpManager::Rebalance, STATUS_SUCCESS,
         {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}, sim::NodeState::Started},
        {"rebalance refused", true, false, &sim::PnpManager::Rebalance, STATUS_UNSUCCESSFUL,
         {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}, sim::NodeState::Started},
        {"unplug without handles", false, false, &sim::PnpManager::Unplug, STATUS_SUCCESS,
         {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}, sim::NodeState::Removed},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Stack stack;
        ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
        toy::Current().Record.PnpMinors.clear();
        toy::Current().Fault.FailQueryStop = c.FailQueryStop;
        toy::Current().Fault.FailQueryRemove = c.FailQueryRemove;
        EXPECT_EQ((stack.Pnp().*c.Sequence)(stack.Pdo()), c.Expected);
        stack.Pnp().WaitIdle();
        EXPECT_EQ(Minors(), c.Sent);
        EXPECT_EQ(stack.Pnp().State(stack.Pdo()), c.After);
        toy::Current().Fault = {};
    }
}

TEST(PnpManager, UnplugWithAHandleOpenRemovesOnceTheHandleCloses)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    const std::u16string link = stack.Link();
    vxio::Handle handle = vxio::kInvalidHandle;
    ASSERT_EQ(stack.Io().Open(link, u"", &handle), STATUS_SUCCESS);

    ASSERT_EQ(stack.Pnp().Unplug(stack.Pdo()), STATUS_SUCCESS);
    stack.Pnp().WaitIdle();
    EXPECT_EQ(stack.Pnp().State(stack.Pdo()), sim::NodeState::SurpriseRemoved);
    EXPECT_EQ(Minors().back(), IRP_MN_SURPRISE_REMOVAL);
    // The interface is gone and the device takes no new handles.
    vxio::Handle second = vxio::kInvalidHandle;
    EXPECT_NE(stack.Io().Open(link, u"", &second), STATUS_SUCCESS);

    ASSERT_EQ(stack.Io().Close(handle), STATUS_SUCCESS);
    stack.Io().WaitIdle();
    stack.Pnp().WaitIdle();
    EXPECT_EQ(stack.Pnp().State(stack.Pdo()), sim::NodeState::Removed);
    EXPECT_EQ(Minors().back(), IRP_MN_REMOVE_DEVICE);
}

TEST(PnpManager, FailedStartIsFollowedByRemoval)
{
    Stack stack;
    toy::Current().Fault.FailStart = true;
    EXPECT_EQ(stack.Plug(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Minors(), (std::vector<UCHAR>{IRP_MN_QUERY_CAPABILITIES, IRP_MN_START_DEVICE,
                                            IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(stack.Pnp().State(stack.Pdo()), sim::NodeState::AddFailed);
}

// Each faulty function driver makes the check named in its row fire.
TEST(PnpManager, VerifierCatchesFaultyFunctionDrivers)
{
    enum class Act { Plug, Disable, Unplug, CancelStop, QueryState };
    struct Case {
        const char *Name;
        void (*Arm)(toy::Faults &);
        Act Action;
        std::string_view Check;
    };
    const Case cases[] = {
        {"initializing flag left set", [](toy::Faults &f) { f.LeaveInitializing = true; }, Act::Plug,
         sim::checks::DeviceInitializing},
        {"power-pagable flag not inherited", [](toy::Faults &f) { f.DropPowerPagable = true; }, Act::Plug,
         sim::checks::PowerPagableNotInherited},
        {"removal failed", [](toy::Faults &f) { f.FailRemove = true; }, Act::Disable,
         sim::checks::PnpRequestFailed},
        {"cancel-stop failed", [](toy::Faults &f) { f.FailCancelStop = true; }, Act::CancelStop,
         sim::checks::PnpRequestFailed},
        {"surprise removal failed", [](toy::Faults &f) { f.FailSurpriseRemoval = true; }, Act::Unplug,
         sim::checks::PnpRequestFailed},
        {"detached during surprise removal", [](toy::Faults &f) { f.DetachOnSurprise = true; },
         Act::Unplug, sim::checks::DetachedDuringSurpriseRemoval},
        {"not detached at removal", [](toy::Faults &f) { f.KeepDeviceOnRemove = true; }, Act::Disable,
         sim::checks::StillAttachedAfterRemoval},
        {"not deleted at removal", [](toy::Faults &f) { f.KeepDeviceOnRemove = true; }, Act::Disable,
         sim::checks::NotDeletedAfterRemoval},
        {"still registered with WMI at removal", [](toy::Faults &f) { f.SkipWmiDeregister = true; },
         Act::Disable, sim::checks::WmiRegisteredAtDelete},
        {"registered with WMI twice", [](toy::Faults &f) { f.RegisterWmiTwice = true; }, Act::Plug,
         sim::checks::WmiRegisteredTwice},
        {"deleted in AddDevice while registered with WMI",
         [](toy::Faults &f) { f.FailAddDeviceKeepingWmi = true; }, Act::Plug,
         sim::checks::WmiRegisteredAtDelete},
        {"a second PnP request inside the first", [](toy::Faults &f) { f.NestedPnp = true; },
         Act::QueryState, sim::checks::ConcurrentPnpIrp},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Stack stack;
        c.Arm(toy::Current().Fault);
        (void)stack.Plug();
        switch (c.Action) {
        case Act::Plug:
            break;
        case Act::Disable:
            (void)stack.Pnp().Disable(stack.Pdo());
            break;
        case Act::Unplug:
            (void)stack.Pnp().Unplug(stack.Pdo());
            break;
        case Act::CancelStop:
            (void)stack.Pnp().QueryStop(stack.Pdo());
            (void)stack.Pnp().CancelStop(stack.Pdo());
            break;
        case Act::QueryState:
            (void)stack.Pnp().SendMinor(stack.Pdo(), IRP_MN_QUERY_PNP_DEVICE_STATE);
            break;
        }
        stack.Pnp().WaitIdle();
        EXPECT_GE(stack.Machine().ReportCount(c.Check), 1u) << stack.Machine().ReportText();
        toy::Current().Fault = {};
        stack.ForceDelete();
        stack.Machine().ClearReports();
    }
}

// A correct driver through every single request and sequence: no report.
TEST(PnpManager, CorrectDriverLeavesNoReport)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    auto &pnp = stack.Pnp();
    EXPECT_EQ(pnp.QueryStop(stack.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(pnp.CancelStop(stack.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(pnp.QueryRemove(stack.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(pnp.CancelRemove(stack.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(pnp.Rebalance(stack.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(pnp.State(stack.Pdo()), sim::NodeState::Started);
    EXPECT_EQ(pnp.Disable(stack.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(stack.Machine().ReportText(), "");
}

}  // namespace
