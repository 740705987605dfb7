// The simulated bus driver seen from a function driver: configuration, data
// both ways through the caller's own pages, URB validation, cancellation,
// stalls, idle notification, wait-wake, port requests and unplug.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "BusFixture.h"
#include "sim/usb/DeviceDescription.h"
#include "Tshark.h"

#include <unistd.h>

using namespace vextora::usb;
using namespace usbtest;

namespace {

std::unique_ptr<LoopbackModel> Loopback() { return std::make_unique<LoopbackModel>(LoopbackDescriptors()); }
std::unique_ptr<ScriptedModel> Scripted() { return std::make_unique<ScriptedModel>(LoopbackDescriptors()); }

// Pipes of the loopback device, in the order of its descriptor.
struct Pipes {
    USBD_PIPE_HANDLE Out, In, Interrupt;
};
Pipes PipesOf(const Configuration &c)
{
    const auto &i = c.Interface(0);
    return {i.Pipes[0].PipeHandle, i.Pipes[1].PipeHandle, i.Pipes[2].PipeHandle};
}

}  // namespace

class BusDataTest : public BusFixture, public ::testing::WithParamInterface<CompletionMode> {};

TEST_P(BusDataTest, LoopbackConfiguresAndMovesDataThroughTheCallersPages)
{
    PortOptions options;
    options.Completion = GetParam();
    auto model = Loopback();
    LoopbackModel *device = model.get();
    UsbPort &port = Plug(std::move(model), options);

    Configuration config;
    ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
    ASSERT_EQ(config.Interfaces.size(), 1u);
    const auto &iface = config.Interface(0);
    EXPECT_EQ(iface.Class, 0xff);
    ASSERT_EQ(iface.NumberOfPipes, 3u);
    struct {
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT mps;
        UCHAR interval;
    } want[] = {{0x01, UsbdPipeTypeBulk, 512, 0}, {0x81, UsbdPipeTypeBulk, 512, 0}, {0x82, UsbdPipeTypeInterrupt, 8, 4}};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(iface.Pipes[i].EndpointAddress, want[i].address);
        EXPECT_EQ(iface.Pipes[i].PipeType, want[i].type);
        EXPECT_EQ(iface.Pipes[i].MaximumPacketSize, want[i].mps);
        EXPECT_EQ(iface.Pipes[i].Interval, want[i].interval);
        EXPECT_NE(iface.Pipes[i].PipeHandle, nullptr);
        EXPECT_EQ(iface.Pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    }
    EXPECT_TRUE(port.Configured());
    const Pipes pipes = PipesOf(config);

    // A read with nothing to read waits for data.
    std::vector<uint8_t> in(1500), out(1000);
    for (size_t i = 0; i < out.size(); i++) {
        out[i] = static_cast<uint8_t>(i * 7);
    }
    PMDL inMdl = Mdl(in);
    PMDL outMdl = Mdl(out);
    URB readUrb = Bulk(pipes.In, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr, inMdl, 1500);
    Request read(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &readUrb);
    EXPECT_EQ(read.Returned(), STATUS_PENDING);
    EXPECT_FALSE(read.Done());

    URB writeUrb = Bulk(pipes.Out, USBD_SHORT_TRANSFER_OK, nullptr, outMdl, 1000);
    EXPECT_EQ(Submit(port, writeUrb), STATUS_SUCCESS);
    EXPECT_EQ(writeUrb.UrbBulkOrInterruptTransfer.TransferBufferLength, 1000u);

    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(readUrb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(readUrb.UrbBulkOrInterruptTransfer.TransferBufferLength, 1000u);
    EXPECT_EQ(0, std::memcmp(in.data(), out.data(), 1000));

    // The bus worked on the application's own pages, through the MDLs.
    bool sawRead = false;
    for (const UrbRecord &r : port.Urbs()) {
        if (r.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            continue;
        }
        EXPECT_TRUE(r.ThroughMdl);
        if (r.Endpoint == 0x81) {
            sawRead = true;
            EXPECT_EQ(r.Data, in.data());
            EXPECT_TRUE(r.Pended);
            EXPECT_EQ(r.CompletionIrql, DISPATCH_LEVEL);
        } else {
            EXPECT_EQ(r.Data, out.data());
            EXPECT_EQ(r.Pended, GetParam() == CompletionMode::HostController);
        }
    }
    EXPECT_TRUE(sawRead);

    // Interrupt IN reports the FIFO level (now empty).
    std::vector<uint8_t> report(8, 0xff);
    URB intUrb = Bulk(pipes.Interrupt, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, report.data(), nullptr, 8);
    EXPECT_EQ(Submit(port, intUrb), STATUS_SUCCESS);
    EXPECT_EQ(intUrb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
    EXPECT_EQ(report[0], 0);

    // The class requests of the loopback device.
    std::vector<uint8_t> block(64);
    URB c0 = Class(URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, block.data(), 64);
    EXPECT_EQ(Submit(port, c0), STATUS_SUCCESS);
    const ULONG n = c0.UrbControlVendorClassRequest.TransferBufferLength;
    ASSERT_GE(n, 2u);
    EXPECT_EQ(static_cast<ULONG>(block[0] << 8 | block[1]), n);
    uint8_t payload[3] = {1, 2, 3};
    URB c2 = Class(URB_FUNCTION_CLASS_OTHER, 0, 2, payload, 3);
    EXPECT_EQ(Submit(port, c2), STATUS_SUCCESS);
    ASSERT_EQ(device->OtherWrites().size(), 1u);
    EXPECT_EQ(device->OtherWrites()[0], std::vector<uint8_t>({1, 2, 3}));
    EXPECT_EQ(device->SetupLog().back(), (SetupPacket{0x23, 2, 0, 0, 3}));

    FreeMdl(inMdl);
    FreeMdl(outMdl);
    EXPECT_GT(port.EndpointStats(0x01).Bytes, 0u);
}

TEST_P(BusDataTest, AbortAndCancelEndPendingReads)
{
    PortOptions options;
    options.Completion = GetParam();
    UsbPort &port = Plug(Loopback(), options);
    Configuration config;
    ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
    const Pipes pipes = PipesOf(config);

    std::vector<uint8_t> a(64), b(64), c(64);
    URB ua = Bulk(pipes.In, 3, a.data(), nullptr, 64);
    URB ub = Bulk(pipes.In, 3, b.data(), nullptr, 64);
    URB uc = Bulk(pipes.In, 3, c.data(), nullptr, 64);
    Request ra(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &ua);
    Request rb(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &ub);
    Request rc(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &uc);
    EXPECT_EQ(port.PendingTransfers(), 3u);

    rc.Cancel();
    EXPECT_EQ(rc.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(uc.UrbHeader.Status, USBD_STATUS_CANCELED);

    URB abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, pipes.In);
    EXPECT_EQ(Submit(port, abort), STATUS_SUCCESS);
    EXPECT_EQ(ra.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(rb.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(ua.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(port.PendingTransfers(), 0u);

    // Unconfiguring invalidates every handle.
    URB unconfigure{};
    unconfigure.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    unconfigure.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    EXPECT_EQ(Submit(port, unconfigure), STATUS_SUCCESS);
    EXPECT_FALSE(port.Configured());
    URB stale = Bulk(pipes.Out, 0, a.data(), nullptr, 8);
    EXPECT_EQ(Submit(port, stale), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_P(BusDataTest, ANakForEverHoldsTheEndpointUntilCancelledAndLosesNoData)
{
    PortOptions options;
    options.Completion = GetParam();
    UsbPort &port = Plug(Loopback(), options);
    Configuration config;
    ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
    const Pipes pipes = PipesOf(config);
    ASSERT_EQ(port.InjectFault(0x81, EndpointFault::Nak), "");
    std::vector<uint8_t> out = {1, 2, 3, 4}, stuck(64), behind(64), after(64);
    URB write = Bulk(pipes.Out, 0, out.data(), nullptr, 4);
    ASSERT_EQ(Submit(port, write), STATUS_SUCCESS);
    URB us = Bulk(pipes.In, 3, stuck.data(), nullptr, 64);
    URB ub = Bulk(pipes.In, 3, behind.data(), nullptr, 64);
    Request rs(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &us);
    Request rb(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &ub);
    // The data waits in the device: the first read is NAKed for ever and
    // the second waits behind it.
    M().Sleep(std::chrono::milliseconds(10));
    EXPECT_FALSE(rs.Done());
    EXPECT_FALSE(rb.Done());
    rs.Cancel();
    EXPECT_EQ(rs.Wait(), STATUS_CANCELLED);
    // Then the one behind it gets the data.
    EXPECT_EQ(rb.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(ub.UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
    EXPECT_EQ(port.PendingTransfers(), 0u);

    // A fault on an endpoint the device does not have, or a short OUT, is
    // refused.
    EXPECT_NE(port.InjectFault(0x85, EndpointFault::Stall), "");
    EXPECT_NE(port.InjectFault(0x01, EndpointFault::Short, 2), "");
}

INSTANTIATE_TEST_SUITE_P(Completion, BusDataTest,
                         ::testing::Values(CompletionMode::Inline, CompletionMode::HostController),
                         [](const auto &info) {
                             return info.param == CompletionMode::Inline ? std::string("Inline")
                                                                          : std::string("HostController");
                         });

TEST_F(BusFixture, BadUrbsAreRefusedWithAUsbdAndAnNtStatus)
{
    auto model = Scripted();
    ScriptedModel *device = model.get();
    UsbPort &port = Plug(std::move(model));
    Configuration config;
    ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
    const Pipes pipes = PipesOf(config);
    std::vector<uint8_t> buf(64);
    PMDL mdl = Mdl(buf);
    std::vector<uint8_t> small(8);
    PMDL smallMdl = Mdl(small);

    struct Row {
        const char *what;
        URB urb;
        USBD_STATUS usbd;
        NTSTATUS status;
    };
    auto withLength = [](URB u, USHORT length) {
        u.UrbHeader.Length = length;
        return u;
    };
    auto withFunction = [](URB u, USHORT function) {
        u.UrbHeader.Function = function;
        return u;
    };
    URB descriptor{};
    UsbBuildGetDescriptorRequest(&descriptor, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 1, 0, 0, buf.data(),
                                 nullptr, 18, nullptr);
    URB status{};
    status.UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    status.UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    status.UrbControlGetStatusRequest.TransferBuffer = buf.data();
    status.UrbControlGetStatusRequest.TransferBufferLength = 3;
    Row rows[] = {
        {"header length one short", withLength(Bulk(pipes.Out, 0, buf.data(), nullptr, 8), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) - 1),
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"unknown function", withFunction(Bulk(pipes.Out, 0, buf.data(), nullptr, 8), 0x0016),
         USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
        {"pipe handle of no configuration", Bulk(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 0, buf.data(), nullptr, 8),
         USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        {"buffer and MDL both", Bulk(pipes.Out, 0, buf.data(), mdl, 8), USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        {"neither buffer nor MDL", Bulk(pipes.Out, 0, nullptr, nullptr, 8), USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        {"MDL shorter than the length", Bulk(pipes.Out, 0, nullptr, smallMdl, 64), USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        {"undefined transfer flag", Bulk(pipes.Out, 0x100, buf.data(), nullptr, 8), USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        {"descriptor request of the wrong size", withLength(descriptor, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) + 8),
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"status request not 2 bytes", status, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"abort of an unknown pipe", PipeRequest(URB_FUNCTION_ABORT_PIPE, reinterpret_cast<USBD_PIPE_HANDLE>(8)),
         USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        {"class request with buffer and MDL",
         [&] {
             URB u = Class(URB_FUNCTION_CLASS_INTERFACE, 3, 1, buf.data(), 8);
             u.UrbControlVendorClassRequest.TransferBufferMDL = mdl;
             return u;
         }(),
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    };
    const size_t seen = device->Transfers().size();
    const size_t setups = device->SetupLog().size();
    for (Row &row : rows) {
        row.urb.UrbHeader.Status = USBD_STATUS_PENDING;
        EXPECT_EQ(Submit(port, row.urb), row.status) << row.what;
        EXPECT_EQ(row.urb.UrbHeader.Status, row.usbd) << row.what;
    }
    EXPECT_EQ(device->Transfers().size(), seen);  // nothing reached the device
    EXPECT_EQ(device->SetupLog().size(), setups);
    FreeMdl(mdl);
    FreeMdl(smallMdl);
}

TEST_F(BusFixture, SelectConfigurationChecksTheInterfaceList)
{
    UsbPort &port = Plug(Loopback());
    Configuration config;
    ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
    auto *desc = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.Descriptor.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(desc, desc, 0, 0, -1, -1, -1), nullptr}, {nullptr, nullptr}};
    struct Row {
        const char *what;
        std::function<void(PURB)> edit;
        USBD_STATUS usbd;
    } rows[] = {
        {"list shorter than the URB says", [](PURB u) { u->UrbHeader.Length -= 8; }, USBD_STATUS_BUFFER_TOO_SMALL},
        {"no room for the interface", [](PURB u) { u->UrbHeader.Length = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface); },
         USBD_STATUS_INVALID_PARAMETER},
        {"alternate setting that does not exist", [](PURB u) { u->UrbSelectConfiguration.Interface.AlternateSetting = 4; },
         USBD_STATUS_INTERFACE_NOT_FOUND},
        {"undefined pipe flag", [](PURB u) { u->UrbSelectConfiguration.Interface.Pipes[1].PipeFlags = 0x80; },
         USBD_STATUS_INAVLID_PIPE_FLAGS},
        {"foreign configuration value", [](PURB u) { u->UrbSelectConfiguration.ConfigurationDescriptor->bConfigurationValue = 9; },
         USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
        {"descriptor with a zero bLength inside", [](PURB u) { reinterpret_cast<UCHAR *>(u->UrbSelectConfiguration.ConfigurationDescriptor)[18] = 0; },
         USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
    };
    for (const Row &row : rows) {
        std::vector<uint8_t> copy = config.Descriptor;
        auto *d = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.data());
        list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(d, d, 0, 0, -1, -1, -1);
        PURB urb;
        {
            sim::FrameScope frame(sim::FrameKind::Other, driver_);
            urb = USBD_CreateConfigurationRequestEx(d, list);
        }
        ASSERT_NE(urb, nullptr);
        row.edit(urb);
        EXPECT_EQ(SubmitUrb(driver_, port.Pdo(), urb), STATUS_INVALID_PARAMETER) << row.what;
        EXPECT_EQ(urb->UrbHeader.Status, row.usbd) << row.what;
        sim::FrameScope frame(sim::FrameKind::Other, driver_);
        ExFreePool(urb);
    }
    // The configuration of before is still in force.
    EXPECT_TRUE(port.Configured());
}

TEST_F(BusFixture, DirectionOfTheEndpointDecidesUnlessRefused)
{
    for (DirectionPolicy policy : {DirectionPolicy::FollowEndpoint, DirectionPolicy::Refuse}) {
        PortOptions options;
        options.Direction = policy;
        auto model = std::make_unique<SourceSinkModel>(LoopbackDescriptors());
        UsbPort &port = Plug(std::move(model), options);
        Configuration config;
        ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
        std::vector<uint8_t> buf(16, 0xEE);
        // A "write" (no IN flag) on the bulk IN pipe.
        URB urb = Bulk(PipesOf(config).In, USBD_SHORT_TRANSFER_OK, buf.data(), nullptr, 16);
        const NTSTATUS status = Submit(port, urb);
        EXPECT_EQ(port.DirectionMismatches(), 1u);
        if (policy == DirectionPolicy::FollowEndpoint) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN, 1u);
            EXPECT_EQ(buf[5], SourceSinkModel::PatternByte(5));  // the device's data came in
        } else {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
            EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
            EXPECT_EQ(buf[5], 0xEE);
        }
        Unplug(port);
    }
}

TEST_F(BusFixture, DeviceAnswersReachTheUrb)
{
    for (CompletionMode mode : {CompletionMode::Inline, CompletionMode::HostController}) {
        PortOptions options;
        options.Completion = mode;
        auto model = Scripted();
        ScriptedModel *device = model.get();
        UsbPort &port = Plug(std::move(model), options);
        Configuration config;
        ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
        const Pipes pipes = PipesOf(config);
        std::vector<uint8_t> buf(8);

        struct Row {
            const char *what;
            Action action;
            ULONG flags;
            NTSTATUS status;
            USBD_STATUS usbd;
            ULONG actual;
        } rows[] = {
            {"full answer", Action::Reply({1, 2, 3, 4, 5, 6, 7, 8}), 1, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 8},
            {"short packet allowed", Action::Reply({1, 2, 3}), 3, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 3},
            {"short packet not allowed", Action::Reply({1, 2, 3}), 1, STATUS_UNSUCCESSFUL,
             USBD_STATUS_ERROR_SHORT_TRANSFER, 3},
            {"late answer", Action::Reply({9, 9, 9, 9, 9, 9, 9, 9}, 2'000'000), 3, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 8},
            {"transaction error", Action::Fail(USBD_STATUS_XACT_ERROR), 3, STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR, 0},
            {"stall", Action::StallIt(), 3, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
            {"still halted", Action::Reply({1}), 3, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
        };
        for (Row &row : rows) {
            device->OnEndpoint(0x81, row.action);
            const uint64_t before = M().Now();
            URB urb = Bulk(pipes.In, row.flags, buf.data(), nullptr, 8);
            EXPECT_EQ(Submit(port, urb), row.status) << row.what;
            EXPECT_EQ(urb.UrbHeader.Status, row.usbd) << row.what;
            EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, row.actual) << row.what;
            if (row.action.DelayNs) {
                EXPECT_GE((M().Now() - before) * 100, row.action.DelayNs) << row.what;
            }
        }
        // A reset with a transfer queued on the pipe is refused; once it is
        // gone the reset clears the halt with CLEAR_FEATURE(ENDPOINT_HALT).
        device->OnEndpoint(0x01, Action::NakForever());
        URB pending = Bulk(pipes.Out, 0, buf.data(), nullptr, 8);
        Request held(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &pending);
        URB busy = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipes.Out);
        EXPECT_EQ(Submit(port, busy), STATUS_DEVICE_BUSY);
        EXPECT_EQ(busy.UrbHeader.Status, USBD_STATUS_ERROR_BUSY);
        held.Cancel();
        EXPECT_EQ(held.Wait(), STATUS_CANCELLED);

        URB reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipes.In);
        EXPECT_EQ(Submit(port, reset), STATUS_SUCCESS);
        EXPECT_EQ(device->SetupLog().back(), (SetupPacket{0x02, 1, 0, 0x81, 0}));
        URB after = Bulk(pipes.In, 3, buf.data(), nullptr, 8);
        EXPECT_EQ(Submit(port, after), STATUS_SUCCESS);  // the queued reply of before
        EXPECT_EQ(after.UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
        Unplug(port);
    }
}

TEST_F(BusFixture, TransfersNeedAConfiguredDeviceInD0OnAnEnabledPort)
{
    UsbPort &port = Plug(Loopback());
    std::vector<uint8_t> buf(8);
    URB early = Bulk(reinterpret_cast<USBD_PIPE_HANDLE>(0x7A00000000000001ull), 0, buf.data(), nullptr, 8);
    EXPECT_EQ(Submit(port, early), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(early.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    Configuration config;
    ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
    const Pipes pipes = PipesOf(config);

    ASSERT_EQ(SetDevicePower(driver_, port.Pdo(), PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(port.PowerState(), PowerDeviceD2);
    URB asleep = Bulk(pipes.Out, 0, buf.data(), nullptr, 8);
    EXPECT_EQ(Submit(port, asleep), STATUS_DEVICE_POWERED_OFF);
    ASSERT_EQ(SetDevicePower(driver_, port.Pdo(), PowerDeviceD0), STATUS_SUCCESS);
    URB awake = Bulk(pipes.Out, 0, buf.data(), nullptr, 8);
    EXPECT_EQ(Submit(port, awake), STATUS_SUCCESS);

    // A port that lost its enable: connected only, transfers fail, and a
    // port reset brings it back with the configuration restored.
    port.DisablePort();
    ULONG portStatus = 0xff;
    Request query(driver_, port.Pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    EXPECT_EQ(query.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, static_cast<ULONG>(USBD_PORT_CONNECTED));
    URB disabled = Bulk(pipes.Out, 0, buf.data(), nullptr, 8);
    EXPECT_EQ(Submit(port, disabled), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(disabled.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    Request reset(driver_, port.Pdo(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
    EXPECT_EQ(reset.Wait(), STATUS_SUCCESS);
    Request again(driver_, port.Pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    EXPECT_EQ(again.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, static_cast<ULONG>(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
    URB restored = Bulk(pipes.Out, 0, buf.data(), nullptr, 8);
    EXPECT_EQ(Submit(port, restored), STATUS_SUCCESS);
    Request noArgument(driver_, port.Pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr);
    EXPECT_EQ(noArgument.Wait(), STATUS_INVALID_PARAMETER);
}

TEST_F(BusFixture, IdleNotificationSuspendsAndEndsWhenTheDeviceIsBackInD0)
{
    PortOptions options;
    options.IdleDelay = std::chrono::milliseconds(50);
    UsbPort &port = Plug(Loopback(), options);
    IdleContext context{driver_, port.Pdo()};
    USB_IDLE_CALLBACK_INFO info{IdleCallback, &context};
    Request idle(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, sizeof info);
    EXPECT_EQ(idle.Returned(), STATUS_PENDING);

    // One notification per device.
    Request second(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, sizeof info);
    EXPECT_EQ(second.Wait(), STATUS_DEVICE_BUSY);

    const uint64_t submitted = M().Now();
    ASSERT_TRUE(WaitFor([&] { return port.PowerState() == PowerDeviceD2 && ReadNoFence(&context.Calls) == 1; }));
    EXPECT_GE(M().Now() - submitted, 50u * 10'000u);  // not before the hub's delay
    EXPECT_EQ(context.PowerStatus, STATUS_SUCCESS);
    EXPECT_FALSE(idle.Done());  // pending while the device sleeps

    ASSERT_EQ(SetDevicePower(driver_, port.Pdo(), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(idle.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(port.IdleCallbacks(), 1u);
}

TEST_F(BusFixture, IdleNotificationEndings)
{
    struct Row {
        const char *what;
        IdleSupport support;
        DEVICE_POWER_STATE target;  // what the callback asks for
        int action;                 // 0 none, 1 cancel before the callback, 2 unplug after it
        NTSTATUS status;
    } rows[] = {
        {"not supported", IdleSupport::NotSupported, PowerDeviceD2, 0, STATUS_NOT_SUPPORTED},
        {"cancelled before the callback", IdleSupport::Supported, PowerDeviceD2, 1, STATUS_CANCELLED},
        {"callback asks for D3", IdleSupport::Supported, PowerDeviceD3, 0, STATUS_POWER_STATE_INVALID},
        {"surprise removal", IdleSupport::Supported, PowerDeviceD2, 2, STATUS_CANCELLED},
    };
    for (const Row &row : rows) {
        PortOptions options;
        options.Idle = row.support;
        options.IdleDelay = row.action == 1 ? std::chrono::seconds(5) : std::chrono::milliseconds(1);
        UsbPort &port = Plug(Loopback(), options);
        IdleContext context{driver_, port.Pdo(), row.target};
        USB_IDLE_CALLBACK_INFO info{IdleCallback, &context};
        Request idle(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, sizeof info);
        if (row.action == 1) {
            idle.Cancel();
        }
        if (row.action == 2) {
            ASSERT_TRUE(WaitFor([&] { return ReadNoFence(&context.Calls) == 1 && port.PowerState() != PowerDeviceD0; }));
            Bus().Unplug(port);
        }
        EXPECT_EQ(idle.Wait(), row.status) << row.what;
        Pnp().WaitIdle();
        if (row.action == 1) {
            EXPECT_EQ(port.IdleCallbacks(), 0u) << row.what;
        }
        if (port.Connected()) {
            if (port.PowerState() != PowerDeviceD0) {
                EXPECT_EQ(SetDevicePower(driver_, port.Pdo(), PowerDeviceD0), STATUS_SUCCESS);
            }
            Unplug(port);
        }
    }
}

TEST_F(BusFixture, IdleNotificationRefusals)
{
    UsbPort &port = Plug(Loopback());
    IdleContext context{driver_, port.Pdo()};
    USB_IDLE_CALLBACK_INFO info{IdleCallback, &context};
    USB_IDLE_CALLBACK_INFO noCallback{nullptr, &context};
    Request missing(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, nullptr, 0);
    EXPECT_EQ(missing.Wait(), STATUS_INVALID_PARAMETER);
    Request shortInfo(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, 4);
    EXPECT_EQ(shortInfo.Wait(), STATUS_INVALID_PARAMETER);
    Request nullCallback(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &noCallback,
                         sizeof noCallback);
    EXPECT_EQ(nullCallback.Wait(), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(SetDevicePower(driver_, port.Pdo(), PowerDeviceD2), STATUS_SUCCESS);
    Request asleep(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, sizeof info);
    EXPECT_EQ(asleep.Wait(), STATUS_POWER_STATE_INVALID);
    ASSERT_EQ(SetDevicePower(driver_, port.Pdo(), PowerDeviceD0), STATUS_SUCCESS);
    Request unknown(driver_, port.Pdo(), 0x22fffb, nullptr);
    EXPECT_EQ(unknown.Wait(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(context.Calls, 0);
}

TEST_F(BusFixture, WaitWakeCompletesOnRemoteWakeOrCancel)
{
    auto model = Loopback();
    DeviceModel *device = model.get();
    UsbPort &port = Plug(std::move(model));

    WaitWake armed(driver_, port.Pdo());
    ASSERT_EQ(armed.Requested(), STATUS_PENDING);
    EXPECT_TRUE(port.WaitWakePending());
    EXPECT_TRUE(device->RemoteWakeupEnabled());
    EXPECT_FALSE(port.SignalRemoteWake());  // not while the device is in D0
    WaitWake second(driver_, port.Pdo());
    EXPECT_EQ(second.Wait(), STATUS_DEVICE_BUSY);

    ASSERT_EQ(SetDevicePower(driver_, port.Pdo(), PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_TRUE(port.SignalRemoteWake());
    EXPECT_EQ(armed.Wait(), STATUS_SUCCESS);
    EXPECT_FALSE(port.SignalRemoteWake());  // nothing armed any more
    ASSERT_EQ(SetDevicePower(driver_, port.Pdo(), PowerDeviceD0), STATUS_SUCCESS);

    WaitWake cancelled(driver_, port.Pdo());
    ASSERT_EQ(cancelled.Requested(), STATUS_PENDING);
    cancelled.Cancel();
    EXPECT_EQ(cancelled.Wait(), STATUS_CANCELLED);
    EXPECT_FALSE(device->RemoteWakeupEnabled());

    WaitWake tooDeep(driver_, port.Pdo(), PowerSystemHibernate);
    EXPECT_EQ(tooDeep.Wait(), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(BusFixture, CapabilitiesComeFromThePortAndTheDevice)
{
    PortOptions options;
    options.DeviceWake = PowerDeviceD1;
    options.SystemWake = PowerSystemSleeping1;
    options.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    UsbPort &wake = Plug(Loopback(), options);
    DEVICE_CAPABILITIES caps{};
    ASSERT_EQ(Pnp().QueryCapabilities(wake.Pdo(), &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
    EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping1);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD1);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);

    auto noWake = LoopbackDescriptors();
    noWake.Configuration[7] = 0x80;
    UsbPort &plain = Plug(std::make_unique<SourceSinkModel>(noWake));
    ASSERT_EQ(Pnp().QueryCapabilities(plain.Pdo(), &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
    EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
    WaitWake refused(driver_, plain.Pdo());
    EXPECT_EQ(refused.Wait(), STATUS_NOT_SUPPORTED);
}

TEST_F(BusFixture, UnplugWithTransfersPendingFailsThemAndRemovesTheDevice)
{
    for (CompletionMode mode : {CompletionMode::Inline, CompletionMode::HostController}) {
        PortOptions options;
        options.Completion = mode;
        UsbPort &port = Plug(Loopback(), options);
        Configuration config;
        ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
        std::vector<uint8_t> a(512), b(512);
        URB ua = Bulk(PipesOf(config).In, 3, a.data(), nullptr, 512);
        URB ub = Bulk(PipesOf(config).In, 3, b.data(), nullptr, 512);
        Request ra(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &ua);
        Request rb(driver_, port.Pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &ub);
        WaitWake armed(driver_, port.Pdo());
        const PDEVICE_OBJECT pdo = port.Pdo();

        Unplug(port);
        EXPECT_EQ(ra.Wait(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(rb.Wait(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(ua.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(armed.Wait(), STATUS_NO_SUCH_DEVICE);
        EXPECT_FALSE(port.Connected());
        EXPECT_EQ(Pnp().State(pdo), sim::NodeState::Removed);
        const auto history = Pnp().History(pdo);
        ASSERT_GE(history.size(), 2u);
        EXPECT_EQ(history[history.size() - 2].Minor, IRP_MN_SURPRISE_REMOVAL);
        EXPECT_EQ(history.back().Minor, IRP_MN_REMOVE_DEVICE);
    }
}

TEST_F(BusFixture, DeviceThatVanishesMidTransfer)
{
    auto model = Scripted();
    model->OnEndpoint(0x81, Action::Unplug());
    PortOptions options;
    options.Completion = CompletionMode::HostController;
    UsbPort &port = Plug(std::move(model), options);
    Configuration config;
    ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
    std::vector<uint8_t> buf(8);
    URB urb = Bulk(PipesOf(config).In, 3, buf.data(), nullptr, 8);
    EXPECT_EQ(Submit(port, urb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    Pnp().WaitIdle();
    EXPECT_FALSE(port.Connected());
}

TEST_F(BusFixture, EveryRealDeviceConfigures)
{
    size_t count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(VEXTORA_DEVICES_DIR)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        SCOPED_TRACE(entry.path().filename().string());
        DeviceDescription d = LoadDeviceDescription(entry.path());
        auto model = MakeModel(d);
        const ConfigurationInfo info = model->Configuration();
        UsbPort &port = Plug(std::move(model));
        Configuration config;
        ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
        ASSERT_FALSE(config.Interfaces.empty());
        for (size_t i = 0; i < config.Interfaces.size(); i++) {
            const auto &iface = config.Interface(i);
            const InterfaceInfo *want = info.Find(iface.InterfaceNumber, 0);
            ASSERT_NE(want, nullptr);
            EXPECT_EQ(iface.NumberOfPipes, want->Endpoints.size());
            for (ULONG p = 0; p < iface.NumberOfPipes; p++) {
                EXPECT_EQ(iface.Pipes[p].EndpointAddress, want->Endpoints[p].Address);
            }
        }
        Unplug(port);
        count++;
    }
    EXPECT_EQ(count, 14u);
}

TEST_F(BusFixture, CaptureOfTheBusDecodesInTshark)
{
    if (!HaveTshark()) {
        GTEST_SKIP() << "tshark is not installed";
    }
    const auto path = std::filesystem::temp_directory_path() /
                      ("vextora-bus-" + std::to_string(::getpid()) + ".pcap");
    PortOptions options;
    options.Capture = path;
    UsbPort &port = Plug(Loopback(), options);
    Configuration config;
    ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
    std::vector<uint8_t> out = {0xC0, 0xFF, 0xEE, 0x17}, in(64);
    URB write = Bulk(PipesOf(config).Out, 0, out.data(), nullptr, 4);
    ASSERT_EQ(Submit(port, write), STATUS_SUCCESS);
    URB read = Bulk(PipesOf(config).In, 3, in.data(), nullptr, 64);
    ASSERT_EQ(Submit(port, read), STATUS_SUCCESS);
    URB abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, PipesOf(config).In);
    ASSERT_EQ(Submit(port, abort), STATUS_SUCCESS);
    // Selecting the interface's setting again closes its pipes and opens
    // new ones, which work.
    // The request is shorter than the URB union; the buffer holds the whole
    // union so that it may be written through a PURB, and Length says how
    // much of it is the request.
    const size_t selectSize = GET_SELECT_INTERFACE_REQUEST_SIZE(3);
    std::vector<uint8_t> selectBytes(std::max(selectSize, sizeof(URB)));
    auto *select = reinterpret_cast<PURB>(selectBytes.data());
    select->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    select->UrbHeader.Length = static_cast<USHORT>(selectSize);
    select->UrbSelectInterface.ConfigurationHandle = config.Handle;
    select->UrbSelectInterface.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(3));
    ASSERT_EQ(Submit(port, *select), STATUS_SUCCESS);
    const USBD_INTERFACE_INFORMATION &selected = select->UrbSelectInterface.Interface;
    ASSERT_EQ(selected.NumberOfPipes, 3u);
    EXPECT_NE(selected.Pipes[0].PipeHandle, PipesOf(config).Out);
    URB stale = Bulk(PipesOf(config).Out, 0, out.data(), nullptr, 4);
    EXPECT_EQ(Submit(port, stale), STATUS_INVALID_PARAMETER);
    URB fresh = Bulk(selected.Pipes[0].PipeHandle, 0, out.data(), nullptr, 4);
    EXPECT_EQ(Submit(port, fresh), STATUS_SUCCESS);
    Unplug(port);
    Bus().FlushCaptures();

    const std::string text = RunTshark(path);
    std::filesystem::remove(path);
    // Selections are the control transfers they cause, pipe requests their
    // URB functions, and IRP ids count from 1.
    for (const char *want : {"CONFIGURATION DESCRIPTOR", "INTERFACE DESCRIPTOR", "ENDPOINT DESCRIPTOR",
                             "bEndpointAddress: 0x81", "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER",
                             "c0ffee17", "URB_FUNCTION_SELECT_CONFIGURATION", "SET CONFIGURATION",
                             "URB_FUNCTION_SELECT_INTERFACE", "SET INTERFACE", "URB_FUNCTION_ABORT_PIPE",
                             "IRP ID: 0x0000000000000001"}) {
        EXPECT_NE(text.find(want), std::string::npos) << "missing '" << want << "' in:\n" << text;
    }
}

TEST_F(BusFixture, RandomUrbsAlwaysCompleteWithAgreeingStatuses)
{
    auto model = std::make_unique<SourceSinkModel>(LoopbackDescriptors());
    UsbPort &port = Plug(std::move(model));
    Configuration config;
    ASSERT_EQ(Configure(driver_, port.Pdo(), config), STATUS_SUCCESS);
    std::mt19937 random(static_cast<uint32_t>(M().Seed()));
    std::vector<uint8_t> buffer(4096);
    PMDL mdl = Mdl(buffer);
    const USBD_PIPE_HANDLE handles[] = {PipesOf(config).Out, PipesOf(config).In, PipesOf(config).Interrupt,
                                        nullptr, reinterpret_cast<USBD_PIPE_HANDLE>(0x7A00000000000099ull)};
    const USHORT functions[] = {URB_FUNCTION_ABORT_PIPE,          URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                                URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                URB_FUNCTION_VENDOR_DEVICE,       URB_FUNCTION_GET_STATUS_FROM_ENDPOINT,
                                URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, URB_FUNCTION_CONTROL_TRANSFER,
                                0x0003,                           0x0029,
                                0x00ff};
    const USHORT lengths[] = {sizeof(struct _URB_PIPE_REQUEST), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                              sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), sizeof(struct _URB_CONTROL_TRANSFER),
                              0, 7, sizeof(URB)};
    for (int i = 0; i < 300; i++) {
        URB urb{};
        urb.UrbHeader.Function = functions[random() % std::size(functions)];
        urb.UrbHeader.Length = lengths[random() % std::size(lengths)];
        auto &x = urb.UrbControlTransfer;  // shared prefix of the transfer URBs
        x.PipeHandle = handles[random() % std::size(handles)];
        x.TransferFlags = static_cast<ULONG>(random() % 16);
        x.TransferBufferLength = static_cast<ULONG>(random() % 5000);
        switch (random() % 3) {
        case 0:
            // The bus cannot check a plain buffer's size; keep it honest.
            x.TransferBuffer = buffer.data();
            x.TransferBufferLength %= 4097;
            break;
        case 1: x.TransferBufferMDL = mdl; break;
        default: break;
        }
        for (auto &b : x.SetupPacket) {
            b = static_cast<UCHAR>(random());
        }
        const NTSTATUS status = Submit(port, urb);
        EXPECT_NE(status, STATUS_PENDING) << i;
        EXPECT_EQ(NT_SUCCESS(status), USBD_SUCCESS(urb.UrbHeader.Status)) << i << " " << std::hex << status;
        if (NT_SUCCESS(status) && urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            EXPECT_LE(x.TransferBufferLength, 4096u) << i;
        }
    }
    FreeMdl(mdl);
    EXPECT_EQ(port.PendingTransfers(), 0u);
}
