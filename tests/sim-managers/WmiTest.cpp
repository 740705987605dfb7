// WMI: the library's dispositions and WNODE handling, the requests a WMI
// consumer causes, registration checks, and property access by class name.
#include <gtest/gtest.h>

#include <cstring>

#include "ToyStack.h"

namespace {

using toy::Stack;

uint32_t ValueOf(const sim::WmiService::Reply &reply)
{
    uint32_t value = 0;
    EXPECT_GE(reply.Data.size(), sizeof(value));
    if (reply.Data.size() >= sizeof(value)) {
        std::memcpy(&value, reply.Data.data(), sizeof(value));
    }
    return value;
}

TEST(Wmi, RegistrationInfoNamesTheBlockThePdoAndTheMofResource)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    ASSERT_TRUE(stack.Wmi().IsRegistered(stack.Fdo()));

    // Too small: the size needed comes back in the first ULONG.
    auto small = stack.Wmi().RegInfo(stack.Fdo(), 8);
    ASSERT_EQ(small.Status, STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(small.Information, sizeof(ULONG));
    ULONG needed = 0;
    std::memcpy(&needed, small.Buffer.data(), sizeof(needed));

    auto info = stack.Wmi().RegInfo(stack.Fdo(), needed);
    ASSERT_EQ(info.Status, STATUS_SUCCESS);
    ASSERT_EQ(info.Information, needed);
    WMIREGINFOW header;
    std::memcpy(&header, info.Buffer.data(), offsetof(WMIREGINFOW, WmiRegGuid));
    ASSERT_EQ(header.GuidCount, 1u);
    WMIREGGUIDW guid;
    std::memcpy(&guid, info.Buffer.data() + offsetof(WMIREGINFOW, WmiRegGuid), sizeof(guid));
    EXPECT_TRUE(InlineIsEqualGUID(guid.Guid, toy::kWmiBlock));
    EXPECT_EQ(guid.InstanceCount, 1u);
    EXPECT_NE(guid.Flags & WMIREG_FLAG_INSTANCE_PDO, 0u);
    EXPECT_EQ(guid.Pdo, reinterpret_cast<ULONG_PTR>(stack.Pdo()));
    USHORT length = 0;
    std::memcpy(&length, info.Buffer.data() + header.MofResourceName, sizeof(length));
    std::u16string mof(length / 2, u'\0');
    std::memcpy(mof.data(), info.Buffer.data() + header.MofResourceName + 2, length);
    EXPECT_EQ(mof, u"MofResourceName");
}

TEST(Wmi, QueriesAndChangesReachTheCallbacks)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    auto &wmi = stack.Wmi();
    PDEVICE_OBJECT fdo = stack.Fdo();

    auto all = wmi.QueryAllData(fdo, toy::kWmiBlock, 16);
    ASSERT_EQ(all.Status, STATUS_SUCCESS);
    EXPECT_FALSE(all.TooSmall);
    EXPECT_EQ(ValueOf(all), 1u);

    // Room for 3 bytes of data: a WNODE_TOO_SMALL in a successful IRP.
    auto tight = wmi.QuerySingleInstance(fdo, toy::kWmiBlock, 0, 3);
    ASSERT_EQ(tight.Status, STATUS_SUCCESS);
    EXPECT_TRUE(tight.TooSmall);
    EXPECT_EQ(tight.Information, sizeof(WNODE_TOO_SMALL));
    EXPECT_GE(tight.SizeNeeded, 4u);

    const uint8_t seven[4] = {7, 0, 0, 0};
    const uint8_t eight[8] = {};
    struct Case {
        const char *Name;
        sim::WmiService::Reply Reply;
        NTSTATUS Expected;
    };
    const Case cases[] = {
        {"set block, wrong size", wmi.ChangeSingleInstance(fdo, toy::kWmiBlock, 0, eight), STATUS_INFO_LENGTH_MISMATCH},
        {"set item 2", wmi.ChangeSingleItem(fdo, toy::kWmiBlock, 0, 2, seven), STATUS_WMI_ITEMID_NOT_FOUND},
        {"set instance 1 of 1", wmi.ChangeSingleItem(fdo, toy::kWmiBlock, 1, 1, seven), STATUS_WMI_INSTANCE_NOT_FOUND},
        {"unknown block", wmi.QueryAllData(fdo, toy::kInterfaceClass, 16), STATUS_WMI_GUID_NOT_FOUND},
        {"set item 1", wmi.ChangeSingleItem(fdo, toy::kWmiBlock, 0, 1, seven), STATUS_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(c.Reply.Status, c.Expected);
    }
    auto after = wmi.QuerySingleInstance(fdo, toy::kWmiBlock, 0, 4);
    ASSERT_EQ(after.Status, STATUS_SUCCESS);
    EXPECT_EQ(ValueOf(after), 7u);
}

TEST(Wmi, RequestsNotForThisProviderAndOtherMinorsArePassedDown)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    // The toy bus leaves a system-control request's status alone, so what
    // comes back shows the request reached it untouched.
    EXPECT_EQ(stack.Wmi().ForeignRequest(stack.Fdo()).Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(stack.Wmi().Send(stack.Fdo(), 0x0C, reinterpret_cast<ULONG_PTR>(stack.Fdo()), nullptr, {}).Status,
              STATUS_NOT_SUPPORTED);
    // A malformed WNODE is refused by the library, not handed to a callback.
    std::vector<uint8_t> junk(sizeof(WNODE_SINGLE_INSTANCE), 0);
    WNODE_SINGLE_INSTANCE single{};
    single.WnodeHeader.Guid = toy::kWmiBlock;
    single.DataBlockOffset = 0xFFFF;
    std::memcpy(junk.data(), &single, offsetof(WNODE_SINGLE_INSTANCE, VariableData));
    EXPECT_EQ(stack.Wmi().Send(stack.Fdo(), IRP_MN_CHANGE_SINGLE_INSTANCE,
                               reinterpret_cast<ULONG_PTR>(stack.Fdo()), &toy::kWmiBlock, junk).Status,
              STATUS_INVALID_PARAMETER);
}

TEST(Wmi, ApplicationsReadAndWriteAPropertyByClassName)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    auto &wmi = stack.Wmi();
    wmi.RegisterClass("ToyDeviceInformation", toy::kWmiBlock, {{"DebugPrintLevel", 1, 0, 4}});
    auto instances = wmi.Instances("ToyDeviceInformation");
    ASSERT_EQ(instances, std::vector<std::u16string>{u"TOY\\VID_F00D&PID_0001\\1_0"});

    uint32_t level = 0;
    ASSERT_EQ(wmi.QueryProperty("ToyDeviceInformation", instances[0], "DebugPrintLevel", &level), STATUS_SUCCESS);
    EXPECT_EQ(level, 1u);
    ASSERT_EQ(wmi.SetProperty("ToyDeviceInformation", instances[0], "DebugPrintLevel", 3), STATUS_SUCCESS);
    ASSERT_EQ(wmi.QueryProperty("ToyDeviceInformation", instances[0], "DebugPrintLevel", &level), STATUS_SUCCESS);
    EXPECT_EQ(level, 3u);

    EXPECT_EQ(wmi.QueryProperty("NoSuchClass", instances[0], "DebugPrintLevel", &level), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(wmi.QueryProperty("ToyDeviceInformation", instances[0], "Nope", &level), STATUS_NOT_FOUND);
    EXPECT_EQ(wmi.QueryProperty("ToyDeviceInformation", u"other_0", "DebugPrintLevel", &level),
              STATUS_WMI_INSTANCE_NOT_FOUND);
}

TEST(Wmi, DeregisteringAnUnregisteredDeviceIsReported)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    // A device object the service has never seen.
    EXPECT_EQ(stack.Wmi().Registration(stack.Pdo(), WMIREG_ACTION_DEREGISTER), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stack.Machine().ReportCount(sim::checks::WmiNotRegistered), 1u);
    stack.Machine().ClearReports();
}

TEST(Wmi, CompletingARequestTheLibraryDidNotHandOutIsReported)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    toy::Current().Fault.WmiCompletesForeign = true;
    EXPECT_EQ(stack.Wmi().ForeignRequest(stack.Fdo()).Status, STATUS_SUCCESS);
    EXPECT_EQ(stack.Machine().ReportCount(sim::checks::WmiUnknownCompletion), 1u);
    toy::Current().Fault = {};
    stack.Machine().ClearReports();
}

}  // namespace
