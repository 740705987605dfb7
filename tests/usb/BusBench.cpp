// Prints figures of the simulated bus: the payload rate the timing model
// gives each speed, and what a loopback device moves through a port served
// by the host controller thread (bus time, utilisation, idle frames, and the
// simulator's own wall-clock speed). A benchmark: it asserts nothing.
#include <chrono>
#include <cstdio>
#include <tuple>
#include <vector>

#include "UsbTestDriver.h"
#include "sim/usb/Models.h"

using namespace vextora::usb;

namespace {

void TimingModelRates()
{
    std::printf("timing model, 64 MiB bulk on one endpoint\n");
    for (auto [speed, name, mps] : {std::tuple{Speed::Full, "full", 64}, std::tuple{Speed::High, "high", 512},
                                    std::tuple{Speed::Super, "super", 1024}}) {
        BusTiming t(speed);
        t.AddEndpoint({0x81, 0x02, static_cast<uint16_t>(mps), 0});
        t.AddEndpoint({0x01, 0x02, static_cast<uint16_t>(mps), 0});
        t.Enqueue(1, 0x81, 64u << 20);
        const uint64_t frames = t.RunUntilDone(1);
        std::printf("  %-5s %10llu frames  %12.0f B/s  idle frames on 0x01: %llu\n", name,
                    static_cast<unsigned long long>(frames), t.Throughput(0x81),
                    static_cast<unsigned long long>(t.Stats().at(0x01).IdleFrames));
    }
}

void LoopbackThroughThePort(CompletionMode mode, const char *name)
{
    sim::Machine machine;
    sim::ThreadScope scope(machine);
    PDRIVER_OBJECT driver = usbtest::LoadTestDriver(machine);
    PortOptions options;
    options.Completion = mode;
    auto &bus = machine.Component<UsbBus>();
    UsbPort &port = bus.Plug(std::make_unique<LoopbackModel>(LoopbackDescriptors()), options);
    machine.Component<sim::PnpManager>().WaitIdle();
    usbtest::Configuration config;
    if (usbtest::Configure(driver, port.Pdo(), config) != STATUS_SUCCESS) {
        std::printf("  configuration failed\n");
        return;
    }
    const auto &iface = config.Interface(0);
    const ULONG chunk = 0x40000;
    const int rounds = 128;
    std::vector<uint8_t> out(chunk, 0x5A), in(chunk);
    PMDL outMdl = sim::BuildMdlForBuffer(out.data(), chunk);
    PMDL inMdl = sim::BuildMdlForBuffer(in.data(), chunk);
    const auto wallStart = std::chrono::steady_clock::now();
    uint64_t moved = 0;
    for (int r = 0; r < rounds; r++) {
        URB w{};
        UsbBuildInterruptOrBulkTransferRequest(&w, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               iface.Pipes[0].PipeHandle, nullptr, outMdl, chunk, 2, nullptr);
        URB rd{};
        UsbBuildInterruptOrBulkTransferRequest(&rd, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               iface.Pipes[1].PipeHandle, nullptr, inMdl, chunk, 3, nullptr);
        if (usbtest::SubmitUrb(driver, port.Pdo(), &w) != STATUS_SUCCESS ||
            usbtest::SubmitUrb(driver, port.Pdo(), &rd) != STATUS_SUCCESS) {
            std::printf("  transfer failed\n");
            break;
        }
        moved += w.UrbBulkOrInterruptTransfer.TransferBufferLength + rd.UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double busSeconds = static_cast<double>(port.BusTimeNs()) / 1e9;
    const auto outStats = port.EndpointStats(0x01);
    const auto inStats = port.EndpointStats(0x81);
    std::printf("  %-15s %llu bytes in %.4f s of bus time: %.0f B/s; busy/idle frames OUT %llu/%llu IN %llu/%llu;"
                " simulator %.1f MB/s wall\n",
                name, static_cast<unsigned long long>(moved), busSeconds, busSeconds > 0 ? moved / busSeconds : 0.0,
                static_cast<unsigned long long>(outStats.BusyFrames),
                static_cast<unsigned long long>(outStats.IdleFrames),
                static_cast<unsigned long long>(inStats.BusyFrames),
                static_cast<unsigned long long>(inStats.IdleFrames), moved / wall / 1e6);
    {
        sim::FrameScope frame(sim::FrameKind::Other, driver);
        IoFreeMdl(outMdl);
        IoFreeMdl(inMdl);
    }
    bus.Unplug(port);
    machine.Component<sim::PnpManager>().WaitIdle();
    bus.Shutdown();
    machine.UnloadDriver(driver);
}

}  // namespace

int main()
{
    TimingModelRates();
    std::printf("loopback, high speed, 128 x 256 KiB written and read back\n");
    LoopbackThroughThePort(CompletionMode::Inline, "inline");
    LoopbackThroughThePort(CompletionMode::HostController, "host controller");
    return 0;
}
