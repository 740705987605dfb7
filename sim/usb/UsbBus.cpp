// The bus and its ports as UsbBus.h describes them; what a port does with
// the requests its PDO receives is in Urb.cpp, HostController.cpp and
// HubPdo.cpp, over the state in PortState.h.
#include "sim/usb/UsbBus.h"

#include <cstring>
#include <string>

#include "sim/kernel/PnpManager.h"
#include "sim/usb/PortState.h"

namespace vextora::usb {

// ---------------------------------------------------------------------------
// UsbPort
// ---------------------------------------------------------------------------
UsbPort::UsbPort(UsbBus &bus, unsigned number, std::unique_ptr<DeviceModel> model, PortOptions options)
    : bus_(bus), number_(number), model_(std::move(model))
{
    impl_ = std::make_unique<Impl>(*this, bus.machine_, std::move(options));
}

UsbPort::~UsbPort() = default;

bool UsbPort::SignalRemoteWake()
{
    PIRP irp = nullptr;
    {
        std::lock_guard lock(impl_->M);
        if (impl_->Power == PowerDeviceD0 || !impl_->Connected || !model_->RemoteWakeupEnabled()) {
            return false;
        }
        irp = impl_->TakeWaitWakeIrp();
    }
    if (irp == nullptr) {
        return false;
    }
    sim::DispatchLevelScope dpc;
    PoStartNextPowerIrp(irp);
    Impl::CompleteIrp(irp, STATUS_SUCCESS);
    return true;
}

void UsbPort::DisablePort()
{
    std::lock_guard lock(impl_->M);
    impl_->Enabled = false;
}

std::string UsbPort::InjectFault(uint8_t endpointAddress, EndpointFault fault, uint32_t shortBytes)
{
    const bool control = (endpointAddress & 0x7f) == 0;
    bool known = control;
    bool in = (endpointAddress & 0x80) != 0;
    for (const auto &iface : model_->Configuration().Interfaces) {
        for (const auto &ep : iface.Endpoints) {
            known = known || ep.Address == endpointAddress;
        }
    }
    char address[8];
    std::snprintf(address, sizeof address, "0x%02X", endpointAddress);
    if (!known) {
        return std::string("the device has no endpoint ") + address + " in its configuration";
    }
    if (fault == EndpointFault::Short && !control && !in) {
        return std::string("a short packet ends an IN transfer; endpoint ") + address + " is OUT";
    }
    {
        std::lock_guard lock(impl_->M);
        if (!impl_->Connected) {
            return "the device is not connected";
        }
        impl_->Faults[control ? 0x00 : endpointAddress] = ArmedFault{fault, shortBytes};
        // A request already waiting on the endpoint meets the fault at once.
        impl_->Kicked = true;
    }
    impl_->Wake();
    return {};
}

void UsbPort::Poll()
{
    {
        std::lock_guard lock(impl_->M);
        impl_->Kicked = true;
    }
    impl_->Wake();
}

std::vector<UrbRecord> UsbPort::Urbs() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Records;
}

size_t UsbPort::PendingTransfers() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Transfers.size();
}

bool UsbPort::Connected() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Connected;
}

bool UsbPort::Enabled() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Enabled;
}

bool UsbPort::Configured() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Configured;
}

DEVICE_POWER_STATE UsbPort::PowerState() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Power;
}

bool UsbPort::WaitWakePending() const
{
    std::lock_guard lock(impl_->M);
    return impl_->WaitWakeIrp != nullptr;
}

unsigned UsbPort::IdleCallbacks() const
{
    std::lock_guard lock(impl_->M);
    return impl_->IdleCallbacks;
}

unsigned UsbPort::DirectionMismatches() const
{
    std::lock_guard lock(impl_->M);
    return impl_->DirectionMismatches;
}

BusTiming::EndpointStats UsbPort::EndpointStats(uint8_t endpointAddress) const
{
    std::lock_guard lock(impl_->M);
    return impl_->Timing.StatsOf(endpointAddress);
}

uint64_t UsbPort::BusTimeNs() const
{
    std::lock_guard lock(impl_->M);
    return impl_->Timing.NowNs();
}

// ---------------------------------------------------------------------------
// UsbBus
// ---------------------------------------------------------------------------
UsbBus::UsbBus(sim::Machine &machine) : machine_(machine)
{
    std::unique_ptr<sim::ThreadScope> scope;
    if (sim::Machine::CurrentOrNull() != &machine_) {
        scope = std::make_unique<sim::ThreadScope>(machine_, "usb-init");
    }
    driver_ = machine_.CreateSystemDriver(u"\\Driver\\usbhub");
    for (auto &f : driver_->MajorFunction) {
        f = UsbPort::Impl::DispatchOther;
    }
    driver_->MajorFunction[IRP_MJ_PNP] = UsbPort::Impl::DispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = UsbPort::Impl::DispatchPower;
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = UsbPort::Impl::DispatchInternalDeviceControl;
    driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = UsbPort::Impl::DispatchSystemControl;
}

UsbBus::~UsbBus() { Shutdown(); }

void UsbBus::Shutdown()
{
    // The ports themselves stay until the bus goes, so that references the
    // tests hold remain valid; their threads and PDOs end here.
    std::vector<UsbPort *> ports;
    {
        std::lock_guard lock(mutex_);
        for (auto &port : ports_) {
            ports.push_back(port.get());
        }
    }
    if (ports.empty()) {
        return;
    }
    std::unique_ptr<sim::ThreadScope> scope;
    if (sim::Machine::CurrentOrNull() != &machine_) {
        scope = std::make_unique<sim::ThreadScope>(machine_, "usb-shutdown");
    }
    for (UsbPort *port : ports) {
        port->impl_->DeletePdo();
    }
}

UsbPort &UsbBus::Plug(std::unique_ptr<DeviceModel> model, PortOptions options)
{
    unsigned number;
    {
        std::lock_guard lock(mutex_);
        number = static_cast<unsigned>(ports_.size() + 1);
    }
    std::unique_ptr<UsbPort> port(new UsbPort(*this, number, std::move(model), std::move(options)));
    UsbPort::Impl &p = *port->impl_;
    if (!p.Options.Capture.empty()) {
        // One file per path for the whole bus, as USBPcap captures a root
        // hub: a second writer would truncate what the first wrote.
        std::lock_guard lock(mutex_);
        const auto key = std::filesystem::absolute(p.Options.Capture).lexically_normal();
        p.Pcap = captures_[key].lock();
        if (!p.Pcap) {
            p.Pcap = std::make_shared<UsbPcapWriter>(p.Options.Capture, 1);
            captures_[key] = p.Pcap;
        }
    }
    port->model_->Kick = [&p] {
        // Inside a model call the port's lock is held: just note it.
        if (tInsideModelOf == &p) {
            p.Kicked = true;
        } else {
            p.Port.Poll();
        }
    };
    {
        sim::FrameScope frame(sim::FrameKind::Other, driver_);
        PDEVICE_OBJECT pdo = nullptr;
        // The PDO's extension holds the port's address.
        const ULONG extensionBytes = sizeof(UsbPort *);  // NOLINT(bugprone-sizeof-expression)
        const NTSTATUS status = IoCreateDevice(driver_, extensionBytes, nullptr, FILE_DEVICE_UNKNOWN,
                                               FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
        if (!NT_SUCCESS(status)) {
            throw std::runtime_error("the USB bus could not create a PDO");
        }
        *static_cast<UsbPort **>(pdo->DeviceExtension) = port.get();
        pdo->Flags |= DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
        pdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
        port->pdo_ = pdo;
    }
    KeInitializeEvent(&p.HcEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&p.HubEvent, SynchronizationEvent, FALSE);
    p.HcThread = machine_.StartThread(
        "usb-hc-" + std::to_string(number), [&p] { p.HostControllerBody(); }, sim::ThreadKind::Service);
    p.HubThread = machine_.StartThread(
        "usb-hub-" + std::to_string(number), [&p] { p.HubBody(); }, sim::ThreadKind::Service);
    UsbPort &ref = *port;
    {
        std::lock_guard lock(mutex_);
        ports_.push_back(std::move(port));
    }

    const auto &d = ref.model_->Descriptors().Device;
    char id[64];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", d[8] | d[9] << 8, d[10] | d[11] << 8);
    std::u16string hardwareId(id, id + std::strlen(id));
    const std::string portText = std::to_string(number);
    std::u16string instance = hardwareId + u"\\" + std::u16string(portText.begin(), portText.end());
    machine_.Component<sim::PnpManager>().DeviceArrived(ref.pdo_, instance, hardwareId);
    p.Reported = true;
    return ref;
}

void UsbBus::FlushCaptures()
{
    std::vector<std::shared_ptr<UsbPcapWriter>> writers;
    {
        std::lock_guard lock(mutex_);
        for (auto &[path, writer] : captures_) {
            if (auto w = writer.lock()) {
                writers.push_back(std::move(w));
            }
        }
    }
    for (auto &w : writers) {
        w->Flush();
    }
}

void UsbBus::Unplug(UsbPort &port) { port.impl_->Disconnect(); }

}  // namespace vextora::usb
