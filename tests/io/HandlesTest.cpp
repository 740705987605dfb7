// Opening and closing handles on the device and its pipes, as applications
// do it: exclusivity, the pipe-name rule, handles that outlive a stop, and
// closes in every state.
#include "tests/io/IoFixture.h"
#include "tests/io/TestDevices.h"

#include <string>

namespace iotest {
namespace {

using vextora::usb::Action;
using vextora::usb::ScriptedModel;

class Handles : public IoFixture {
protected:
    // Moves one byte on the handle in the direction of Endpoint and returns
    // the status and the endpoint the bus saw the transfer on (0: none).
    std::pair<vxio::Status, uint8_t> Touch(vxio::Handle Handle, uint8_t Endpoint)
    {
        uint8_t byte = 0x5A;
        Answer answer{};
        if ((Endpoint & 0x80) != 0) {
            ModelAs<ScriptedModel>().OnEndpoint(Endpoint, Action::Reply({0x11}));
            answer = Read(Handle, &byte, 1);
        } else {
            answer = Write(Handle, &byte, 1);
        }
        std::vector<UrbRecord> urbs = NewUrbs();
        return {answer.Status, urbs.empty() ? uint8_t{0} : urbs.back().Endpoint};
    }

    // Every application request on handles opened before the state change.
    void ExpectEverythingRefused(vxio::Handle Device, vxio::Handle Pipe)
    {
        uint8_t buffer[512] = {};
        EXPECT_EQ(Read(Pipe, buffer, 64).Status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(Write(Pipe, buffer, 64).Status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(Read(Device, buffer, 64).Status, STATUS_INVALID_DEVICE_STATE);  // the state comes first
        for (uint32_t function = 0; function < 8; ++function) {
            uint8_t input[4] = {2, 0, 0x09, 0x04};
            Answer answer = Control(function == 2 ? Pipe : Device, VEXTORA_CTL_CODE(function), input, sizeof input,
                                    buffer, sizeof buffer);
            EXPECT_EQ(answer.Status, STATUS_INVALID_DEVICE_STATE) << "function " << function;
            EXPECT_EQ(answer.Information, 0u);
        }
    }
};

struct NameCase {
    std::u16string Name;
    vxio::Status Status;
    int Pipe;  // -1: no pipe
};

TEST_F(Handles, NamesSelectPipesByTheirLastDigitRun)
{
    StartDevice(EightPipeDevice());
    const std::u16string twoTo32Plus1 = u"4294967297";
    const NameCase cases[] = {
        {u"PIPE00", STATUS_SUCCESS, 0},
        {u"pipe2x", STATUS_SUCCESS, 2},
        {u"7\\4", STATUS_SUCCESS, 4},
        {u"3-5", STATUS_SUCCESS, 5},
        {twoTo32Plus1, STATUS_SUCCESS, 1},
        {u"PIPE06", STATUS_INVALID_PARAMETER, -1},  // pipe 6 exists but lies beyond the slot limit
        {u"PIPE7", STATUS_INVALID_PARAMETER, -1},
        {u"12", STATUS_INVALID_PARAMETER, -1},
        {u"PIPE", STATUS_INVALID_PARAMETER, -1},
        {u"PIPE\u0661", STATUS_INVALID_PARAMETER, -1},  // not a decimal digit here
        // second names for pipes already open
        {u"PIPE1", STATUS_ACCESS_DENIED, -1},
        {u"9\\000", STATUS_ACCESS_DENIED, -1},
        {u"4294967300", STATUS_ACCESS_DENIED, -1},  // 2^32 + 4
    };
    std::vector<vxio::Handle> opened;
    for (const NameCase &c : cases) {
        vxio::Handle handle = vxio::kInvalidHandle;
        SCOPED_TRACE(std::string(c.Name.begin(), c.Name.end()));
        ASSERT_EQ(Open(c.Name, &handle), c.Status);
        if (c.Pipe >= 0) {
            auto [status, endpoint] = Touch(handle, kEightPipeEndpoints[c.Pipe]);
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(endpoint, kEightPipeEndpoints[c.Pipe]);
            opened.push_back(handle);
        }
    }
    // Closing gives each pipe back: every one opens again, under another name.
    for (vxio::Handle handle : opened) {
        Close(handle);
    }
    for (const char16_t *name : {u"0", u"x1", u"\\2", u"PIPE004", u"5"}) {
        Close(OpenOk(name));
    }
}

TEST_F(Handles, DeviceAndEveryPipeOpenOnceAtATime)
{
    StartDevice(EightPipeDevice());
    vxio::Handle device = OpenOk(u"");
    vxio::Handle second = vxio::kInvalidHandle;
    EXPECT_EQ(Open(u"", &second), STATUS_ACCESS_DENIED);
    std::vector<vxio::Handle> pipes;
    for (int pipe = 0; pipe < 6; ++pipe) {
        std::u16string name = u"PIPE" + std::u16string(1, static_cast<char16_t>(u'0' + pipe));
        pipes.push_back(OpenOk(name));
        EXPECT_EQ(Open(name, &second), STATUS_ACCESS_DENIED);
    }
    // The refused opens left the first handles working.
    uint8_t descriptor[18] = {};
    EXPECT_EQ(Control(device, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, 18).Status, STATUS_SUCCESS);
    EXPECT_EQ(Touch(pipes[0], kEightPipeEndpoints[0]).first, STATUS_SUCCESS);

    Close(device);
    Close(OpenOk(u""));
}

// IRP_MJ_CLOSE for a file object whose create the driver refused, as Wine
// sends it (Windows never does).
void SendStrayClose(PDEVICE_OBJECT Top, std::u16string Name)
{
    FILE_OBJECT file{};
    file.Type = 5;
    file.Size = sizeof(FILE_OBJECT);
    file.FileName.Buffer = Name.empty() ? nullptr : Name.data();
    file.FileName.Length = static_cast<USHORT>(Name.size() * sizeof(WCHAR));
    file.FileName.MaximumLength = file.FileName.Length;
    PIRP irp = sim::AllocateManagerIrp(
        Top->StackSize, [](PIRP done, void *) { IoFreeIrp(done); }, nullptr);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CLOSE;
    next->FileObject = &file;
    EXPECT_EQ(IofCallDriver(Top, irp), STATUS_SUCCESS);
}

TEST_F(Handles, CloseOfARefusedCreateGivesBackNothing)
{
    StartLoopback();
    vxio::Handle device = OpenOk(u"");
    vxio::Handle pipe = OpenOk(u"PIPE1");
    vxio::Handle refused = vxio::kInvalidHandle;
    ASSERT_EQ(Open(u"", &refused), STATUS_ACCESS_DENIED);
    ASSERT_EQ(Open(u"PIPE01", &refused), STATUS_ACCESS_DENIED);
    PDEVICE_OBJECT top = Pnp().FunctionDevice(Pdo());
    SendStrayClose(top, u"");
    SendStrayClose(top, u"\\PIPE01");
    EXPECT_EQ(Open(u"", &refused), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"PIPE1", &refused), STATUS_ACCESS_DENIED);
    Close(device);
    Close(pipe);
    Close(OpenOk(u""));
}

TEST_F(Handles, IsochronousPipeAndDeviceHandleRefuseTransfers)
{
    StartDevice(EightPipeDevice());
    vxio::Handle iso = OpenOk(u"PIPE3");
    vxio::Handle device = OpenOk(u"");
    uint8_t buffer[64] = {};
    for (vxio::Handle handle : {iso, device}) {
        EXPECT_EQ(Read(handle, buffer, sizeof buffer).Status, STATUS_INVALID_HANDLE);
        EXPECT_EQ(Write(handle, buffer, sizeof buffer).Status, STATUS_INVALID_HANDLE);
    }
    EXPECT_TRUE(NewUrbs().empty());
}

TEST_F(Handles, PipeHandleFromBeforeARestartIsStale)
{
    StartLoopback();
    vxio::Handle old = OpenOk(u"PIPE0");
    vxio::Handle device = OpenOk(u"");
    ASSERT_EQ(Pnp().Rebalance(Pdo()), STATUS_SUCCESS);

    // The old handle's pipe was released with its configuration.
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Bus().ClearRequests();
    EXPECT_EQ(Write(old, data, sizeof data).Status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Control(old, IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0).Status, STATUS_INVALID_HANDLE);
    EXPECT_TRUE(Bus().Requests().empty());

    // Pipe 0 of the new configuration is free; closing the old handle must
    // not free it again under the new handle.
    vxio::Handle fresh = OpenOk(u"PIPE0");
    Close(old);
    vxio::Handle again = vxio::kInvalidHandle;
    EXPECT_EQ(Open(u"PIPE0", &again), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Write(fresh, data, sizeof data).Status, STATUS_SUCCESS);
    Close(fresh);
    Close(OpenOk(u"PIPE0"));

    // A device handle has no configuration of its own and stays usable.
    std::vector<uint8_t> config(39);
    EXPECT_EQ(Control(device, IOCTL_GET_CONFIG_DESCRIPTOR, nullptr, 0, config.data(), 39).Status, STATUS_SUCCESS);
    EXPECT_EQ(Open(u"", &again), STATUS_ACCESS_DENIED);
}

TEST_F(Handles, RequestsRefusedOutsideWorking)
{
    StartLoopback();
    vxio::Handle device = OpenOk(u"");
    vxio::Handle pipe = OpenOk(u"PIPE0");
    auto expectCreatesRefused = [this] {
        vxio::Handle h = vxio::kInvalidHandle;
        EXPECT_EQ(Open(u"PIPE1", &h), STATUS_INVALID_DEVICE_STATE);
    };

    ASSERT_EQ(Pnp().QueryStop(Pdo()), STATUS_SUCCESS);  // PendingStop
    Bus().ClearRequests();
    ExpectEverythingRefused(device, pipe);
    expectCreatesRefused();
    EXPECT_TRUE(Bus().Requests().empty());
    ASSERT_EQ(Pnp().CancelStop(Pdo()), STATUS_SUCCESS);
    uint8_t byte = 1;
    EXPECT_EQ(Write(pipe, &byte, 1).Status, STATUS_SUCCESS);

    ASSERT_EQ(Pnp().QueryStop(Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().Stop(Pdo()), STATUS_SUCCESS);  // Stopped
    Bus().ClearRequests();
    ExpectEverythingRefused(device, pipe);
    expectCreatesRefused();
    EXPECT_TRUE(Bus().Requests().empty());
    ASSERT_EQ(Pnp().Start(Pdo()), STATUS_SUCCESS);

    Close(pipe);
    pipe = OpenOk(u"PIPE0");
    ASSERT_EQ(Pnp().QueryRemove(Pdo()), STATUS_SUCCESS);  // PendingRemove
    Bus().ClearRequests();
    ExpectEverythingRefused(device, pipe);
    EXPECT_TRUE(Bus().Requests().empty());
    ASSERT_EQ(Pnp().CancelRemove(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(Write(pipe, &byte, 1).Status, STATUS_SUCCESS);
}

TEST_F(Handles, SurpriseRemovalRefusesRequestsAndClosesStillWork)
{
    StartLoopback();
    vxio::Handle device = OpenOk(u"");
    vxio::Handle pipe = OpenOk(u"PIPE1");
    vxio::Handle pipe0 = OpenOk(u"PIPE0");
    Machine().Component<vextora::usb::UsbBus>().Unplug(Port());
    Pnp().WaitIdle();
    EXPECT_EQ(Pnp().State(Pdo()), sim::NodeState::SurpriseRemoved);
    uint8_t buffer[16] = {};
    EXPECT_EQ(Read(pipe, buffer, sizeof buffer).Status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Control(device, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, buffer, sizeof buffer).Status,
              STATUS_INVALID_DEVICE_STATE);
    // Closing the last handle lets the removal through.
    Close(pipe);
    Close(pipe0);
    Close(device);
    Io().WaitIdle();
    Pnp().WaitIdle();
    EXPECT_EQ(Pnp().State(Pdo()), sim::NodeState::Removed);
}

}  // namespace
}  // namespace iotest

namespace iotest {
namespace {

sim::MachineOptions Shaken()
{
    sim::MachineOptions options;
    options.RandomYields = true;
    return options;
}

// Opens, closes and requests racing stops and starts: every request either
// works or is refused with a clear status, and nothing released is touched
// (the pool's use-after-free checks and the sanitizers watch for it).
class Races : public IoFixture {
protected:
    Races() : IoFixture(Shaken()) {}
};

TEST_F(Races, HandlesAndRequestsRaceRestarts)
{
    StartLoopback();
    const std::u16string link = Link();
    auto worker = [this, link](std::u16string name) {
        for (int i = 0; i < 60; ++i) {
            vxio::Handle handle = vxio::kInvalidHandle;
            vxio::Status status = Io().Open(link, name, &handle);
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INVALID_DEVICE_STATE ||
                        status == STATUS_NO_SUCH_DEVICE)
                << std::hex << status;
            if (status != STATUS_SUCCESS) {
                continue;
            }
            uint8_t buffer[64] = {};
            status = name.empty() ? Io().ControlSync(handle, IOCTL_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer, 64)
                                  : Io().ReadSync(handle, buffer, 2);
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INVALID_DEVICE_STATE ||
                        status == STATUS_INVALID_HANDLE)
                << std::hex << status;
            if (!name.empty()) {
                status = Io().ControlSync(handle, IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0);
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INVALID_DEVICE_STATE ||
                            status == STATUS_INVALID_HANDLE)
                    << std::hex << status;
            }
            EXPECT_EQ(Io().Close(handle), STATUS_SUCCESS);
        }
    };
    sim::SimThread *device = Machine().StartThread("device", [&] { worker(u""); });
    sim::SimThread *interrupt = Machine().StartThread("interrupt", [&] { worker(u"PIPE2"); });
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Pnp().Rebalance(Pdo()), STATUS_SUCCESS);
    }
    Machine().Join(device);
    Machine().Join(interrupt);
    Io().WaitIdle();
    // Every handle is closed: each can be opened once again.
    Close(OpenOk(u""));
    Close(OpenOk(u"PIPE2"));
}

}  // namespace
}  // namespace iotest
