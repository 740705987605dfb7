// The driver's WMI data block, through the simulated WMI service and WMI
// library, on devices added and started by the PnP manager over the
// simulated USB bus. The class schema the management side uses is read from
// the driver's own compiled MOF, so the schema and the driver must agree.
#include "driver/Driver.h"
#include "sim/kernel/WmiService.h"
#include "sim/usb/Models.h"
#include "tests/support/TestRig.h"
#include "wmi/Wmi.h"

#include "Layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

constexpr char kClass[] = "ZelmoraDeviceInformation";

std::string ReadText(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// "{78A8A1B8-6FF9-48b9-87FA-D1CAF6922D9D}" as a GUID.
GUID ParseGuid(const std::string &text)
{
    GUID guid{};
    unsigned parts[11];
    int read = std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &parts[0], &parts[1], &parts[2],
                           &parts[3], &parts[4], &parts[5], &parts[6], &parts[7], &parts[8], &parts[9], &parts[10]);
    EXPECT_EQ(read, 11) << text;
    guid.Data1 = parts[0];
    guid.Data2 = static_cast<USHORT>(parts[1]);
    guid.Data3 = static_cast<USHORT>(parts[2]);
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = static_cast<UCHAR>(parts[3 + i]);
    }
    return guid;
}

// The block's GUID and its data items (WmiDataId properties, laid out in id
// order at their natural alignment), as the compiled MOF declares them.
struct Schema {
    GUID Guid{};
    std::vector<sim::WmiService::Property> Items;
};

Schema SchemaFromMof()
{
    const vxbmof::Decoded decoded = vxbmof::DecodeBmof(vxbmof::CompileMof(ReadText(VEXTORA_MOF_SOURCE)));
    Schema schema;
    EXPECT_EQ(decoded.classes.size(), 1u);
    const vxbmof::ClassDecl &c = decoded.classes.at(0);
    EXPECT_EQ(c.name, kClass);
    for (const vxbmof::Qualifier &q : c.qualifiers) {
        if (q.name == "guid") {
            schema.Guid = ParseGuid(std::get<std::string>(q.value));
        }
    }
    std::vector<std::pair<ULONG, const vxbmof::Property *>> items;
    for (const vxbmof::Property &p : c.properties) {
        for (const vxbmof::Qualifier &q : p.qualifiers) {
            if (q.name == "WmiDataId") {
                items.push_back({static_cast<ULONG>(std::get<std::int32_t>(q.value)), &p});
            }
        }
    }
    std::sort(items.begin(), items.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    ULONG offset = 0;
    for (const auto &[id, p] : items) {
        ULONG size = p->typeName == "uint8" ? 1 : p->typeName == "uint16" ? 2 : 4;
        offset = (offset + size - 1) / size * size;
        schema.Items.push_back({p->name, id, offset, size});
        offset += size;
    }
    return schema;
}

std::vector<uint8_t> Le32(uint32_t value)
{
    std::vector<uint8_t> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

uint32_t FromLe32(const std::vector<uint8_t> &bytes)
{
    uint32_t value = 0;
    EXPECT_EQ(bytes.size(), 4u);
    std::memcpy(&value, bytes.data(), std::min<size_t>(bytes.size(), 4));
    return value;
}

// Records every system-control request that reaches a given device object
// (the bus driver's PDO, below the driver) and what its dispatch returned.
class BelowDriver : public sim::IrpObserver {
public:
    explicit BelowDriver(PDEVICE_OBJECT Target) : target_(Target) {}

    void OnDispatchReturn(PDEVICE_OBJECT Target, PIRP, UCHAR Major, UCHAR, NTSTATUS Returned) override
    {
        if (Target == target_ && Major == IRP_MJ_SYSTEM_CONTROL) {
            std::lock_guard lock(mutex_);
            returned_.push_back(Returned);
        }
    }

    std::vector<NTSTATUS> Returned() const
    {
        std::lock_guard lock(mutex_);
        return returned_;
    }

private:
    PDEVICE_OBJECT target_;
    mutable std::mutex mutex_;
    std::vector<NTSTATUS> returned_;
};

class WmiBlock : public ::testing::Test {
protected:
    WmiBlock()
    {
        Schema schema = SchemaFromMof();
        guid_ = schema.Guid;
        Wmi().RegisterClass(kClass, schema.Guid, schema.Items);
    }

    sim::PnpManager &Pnp() { return rig_.Pnp(); }
    sim::WmiService &Wmi() { return machine_->Component<sim::WmiService>(); }

    // Plugs a loopback device and waits until the driver has started it.
    vextora::usb::UsbPort &Plug()
    {
        auto &port = rig_.Plug(std::make_unique<vextora::usb::LoopbackModel>(vextora::usb::LoopbackDescriptors()));
        EXPECT_EQ(Pnp().State(port.Pdo()), sim::NodeState::Started);
        return port;
    }

    PDEVICE_OBJECT Fdo(vextora::usb::UsbPort &port) { return Pnp().FunctionDevice(port.Pdo()); }

    uint32_t Level(std::u16string_view instance)
    {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(Wmi().QueryProperty(kClass, instance, "DebugPrintLevel", &value), STATUS_SUCCESS);
        return value;
    }

    // Puts the driver-wide level back to what a fresh load has, so that
    // tests run in one process do not see each other's changes.
    void RestoreLevel(PDEVICE_OBJECT fdo)
    {
        EXPECT_EQ(Wmi().ChangeSingleInstance(fdo, guid_, 0, Le32(1)).Status, STATUS_SUCCESS);
    }

    vxtest::TestRig rig_;
    sim::Machine *machine_ = &rig_.Machine();
    GUID guid_{};
};

TEST_F(WmiBlock, OneInstancePerDeviceSharingOneLevel)
{
    vextora::usb::UsbPort &first = Plug();
    vextora::usb::UsbPort &second = Plug();

    // Instances are named after each device's PDO.
    std::vector<std::u16string> instances = Wmi().Instances(kClass);
    ASSERT_EQ(instances.size(), 2u);
    for (vextora::usb::UsbPort *port : {&first, &second}) {
        std::u16string expected = Pnp().InstanceId(port->Pdo()) + u"_0";
        EXPECT_NE(std::find(instances.begin(), instances.end(), expected), instances.end());
    }

    // A fresh load reports 1 on every device.
    EXPECT_EQ(Level(instances[0]), 1u);
    EXPECT_EQ(Level(instances[1]), 1u);

    // A set through one device is what the other reads.
    EXPECT_EQ(Wmi().SetProperty(kClass, instances[0], "DebugPrintLevel", 7), STATUS_SUCCESS);
    EXPECT_EQ(Level(instances[1]), 7u);
    EXPECT_EQ(Wmi().ChangeSingleInstance(Fdo(second), guid_, 0, Le32(0x12345678)).Status, STATUS_SUCCESS);
    EXPECT_EQ(Level(instances[0]), 0x12345678u);
    RestoreLevel(Fdo(first));
}

TEST_F(WmiBlock, RequestsOfTheBlock)
{
    vextora::usb::UsbPort &port = Plug();
    const PDEVICE_OBJECT fdo = Fdo(port);
    const GUID other = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};

    struct Case {
        const char *name;
        std::function<sim::WmiService::Reply()> send;
        NTSTATUS status;
    };
    const std::vector<uint8_t> eight(8, 0x55);
    const std::vector<uint8_t> two(2, 0x55);
    const Case refused[] = {
        {"set block, 8 bytes", [&] { return Wmi().ChangeSingleInstance(fdo, guid_, 0, eight); },
         STATUS_INFO_LENGTH_MISMATCH},
        {"set block, 2 bytes", [&] { return Wmi().ChangeSingleInstance(fdo, guid_, 0, two); },
         STATUS_INFO_LENGTH_MISMATCH},
        {"set item 2", [&] { return Wmi().ChangeSingleItem(fdo, guid_, 0, 2, Le32(9)); },
         STATUS_WMI_ITEMID_NOT_FOUND},
        {"set item 0", [&] { return Wmi().ChangeSingleItem(fdo, guid_, 0, 0, Le32(9)); },
         STATUS_WMI_ITEMID_NOT_FOUND},
        {"set item 1, 2 bytes", [&] { return Wmi().ChangeSingleItem(fdo, guid_, 0, 1, two); },
         STATUS_INFO_LENGTH_MISMATCH},
        {"set item 1, 8 bytes", [&] { return Wmi().ChangeSingleItem(fdo, guid_, 0, 1, eight); },
         STATUS_INFO_LENGTH_MISMATCH},
        {"query of a block we do not have", [&] { return Wmi().QuerySingleInstance(fdo, other, 0, 16); },
         STATUS_WMI_GUID_NOT_FOUND},
    };
    for (const Case &c : refused) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.send().Status, c.status);
        // Nothing refused changes the level.
        EXPECT_EQ(FromLe32(Wmi().QuerySingleInstance(fdo, guid_, 0, 4).Data), 1u);
    }

    // A query with room for 3 bytes learns that it needs 4.
    sim::WmiService::Reply small = Wmi().QuerySingleInstance(fdo, guid_, 0, 3);
    EXPECT_EQ(small.Status, STATUS_SUCCESS);
    EXPECT_TRUE(small.TooSmall);
    sim::WmiService::Reply roomy = Wmi().QuerySingleInstance(fdo, guid_, 0, 64);
    EXPECT_EQ(roomy.Status, STATUS_SUCCESS);
    EXPECT_FALSE(roomy.TooSmall);
    ASSERT_EQ(roomy.Data.size(), 4u);
    EXPECT_EQ(small.SizeNeeded, roomy.Buffer.size() - 64 + 4);

    // Whole-block and single-item sets, each read back; all-data queries too.
    EXPECT_EQ(Wmi().ChangeSingleItem(fdo, guid_, 0, 1, Le32(3)).Status, STATUS_SUCCESS);
    EXPECT_EQ(FromLe32(Wmi().QuerySingleInstance(fdo, guid_, 0, 4).Data), 3u);
    EXPECT_EQ(Wmi().ChangeSingleInstance(fdo, guid_, 0, Le32(0xFFFFFFFF)).Status, STATUS_SUCCESS);
    EXPECT_EQ(FromLe32(Wmi().QueryAllData(fdo, guid_, 64).Data), 0xFFFFFFFFu);
    RestoreLevel(fdo);
}

TEST_F(WmiBlock, OtherProvidersRequestsGoToTheLowerDriver)
{
    vextora::usb::UsbPort &port = Plug();
    BelowDriver below(port.Pdo());
    machine_->AddIrpObserver(&below);
    for (UCHAR minor : {UCHAR{IRP_MN_QUERY_ALL_DATA}, UCHAR{IRP_MN_CHANGE_SINGLE_ITEM}, UCHAR{IRP_MN_REGINFO}}) {
        SCOPED_TRACE(static_cast<int>(minor));
        sim::WmiService::Reply reply = Wmi().ForeignRequest(Fdo(port), minor);
        std::vector<NTSTATUS> returned = below.Returned();
        ASSERT_FALSE(returned.empty()) << "the request never reached the bus driver";
        EXPECT_EQ(reply.Status, returned.back());
    }
    // Our own requests stay with us.
    size_t before = below.Returned().size();
    EXPECT_EQ(Wmi().QuerySingleInstance(Fdo(port), guid_, 0, 4).Status, STATUS_SUCCESS);
    EXPECT_EQ(below.Returned().size(), before);
    machine_->RemoveIrpObserver(&below);
}

// While the driver removes the device, after it has marked the device
// Removed and before it passes the removal down, a system-control request
// still reaches the device object.
class DuringRemoval : public sim::IrpObserver {
public:
    DuringRemoval(sim::WmiService &Wmi, PDEVICE_OBJECT Pdo, PDEVICE_OBJECT Fdo) : wmi_(Wmi), pdo_(Pdo), fdo_(Fdo) {}

    void OnCallDriver(PDEVICE_OBJECT Target, PIRP Irp, sim::CallPath) override
    {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        if (Target != pdo_ || location->MajorFunction != IRP_MJ_PNP ||
            location->MinorFunction != IRP_MN_REMOVE_DEVICE || sent_) {
            return;
        }
        sent_ = true;
        auto *extension = static_cast<DeviceExtension *>(fdo_->DeviceExtension);
        state_ = CurrentDeviceState(extension);
        countBefore_ = ReadNoFence(&extension->OutstandingIo);
        reply_ = wmi_.Send(fdo_, IRP_MN_QUERY_SINGLE_INSTANCE, reinterpret_cast<ULONG_PTR>(fdo_), nullptr,
                           std::vector<uint8_t>(256, 0));
        countAfter_ = ReadNoFence(&extension->OutstandingIo);
    }

    bool sent_ = false;
    DeviceState state_ = NotStarted;
    LONG countBefore_ = -1;
    LONG countAfter_ = -1;
    sim::WmiService::Reply reply_;

private:
    sim::WmiService &wmi_;
    PDEVICE_OBJECT pdo_;
    PDEVICE_OBJECT fdo_;
};

TEST_F(WmiBlock, RemovedDeviceRefusesWithoutACount)
{
    vextora::usb::UsbPort &port = Plug();
    DuringRemoval probe(Wmi(), port.Pdo(), Fdo(port));
    machine_->AddIrpObserver(&probe);
    // A removal the device was not surprised by: WMI is deregistered inside.
    EXPECT_EQ(Pnp().Disable(port.Pdo()), STATUS_SUCCESS);
    Pnp().WaitIdle();
    machine_->RemoveIrpObserver(&probe);

    ASSERT_TRUE(probe.sent_);
    EXPECT_EQ(probe.state_, Removed);
    EXPECT_EQ(probe.reply_.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(probe.reply_.Information, 0u);
    EXPECT_EQ(probe.countAfter_, probe.countBefore_);
    EXPECT_FALSE(Wmi().IsRegistered(Fdo(port)));
    EXPECT_TRUE(Wmi().Instances(kClass).empty());
}

TEST_F(WmiBlock, RegistrationFollowsTheDevice)
{
    vextora::usb::UsbPort &port = Plug();
    PDEVICE_OBJECT fdo = Fdo(port);
    EXPECT_TRUE(Wmi().IsRegistered(fdo));
    // Served while stopped as well (a rebalance's stop and restart).
    ASSERT_EQ(Pnp().QueryStop(port.Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().Stop(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(FromLe32(Wmi().QuerySingleInstance(fdo, guid_, 0, 4).Data), 1u);
    ASSERT_EQ(Pnp().Start(port.Pdo()), STATUS_SUCCESS);

    // Surprise removal deregisters; the removal after it must not again
    // (the verifier reports a deregistration of an unregistered device).
    EXPECT_EQ(Pnp().Unplug(port.Pdo()), STATUS_SUCCESS);
    Pnp().WaitIdle();
    EXPECT_EQ(Pnp().State(port.Pdo()), sim::NodeState::Removed);
    EXPECT_TRUE(Wmi().Instances(kClass).empty());
}

}  // namespace
