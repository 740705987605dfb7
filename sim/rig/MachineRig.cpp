#include "sim/rig/MachineRig.h"

#include <algorithm>

#include "driver/Driver.h"
#include "sim/kernel/Registry.h"
#include "tools/common/StatusNames.h"

namespace vx {

RigDriver VextoraRigDriver()
{
    return {kVextoraDriverName, DriverEntry, kVextoraServiceKey, &VextoraInterfaceClassGuid};
}

MachineRig::MachineRig(const RigOptions &options)
    : which_(options.Driver), image_(options.Image), machine_(options.Machine), scope_(machine_, options.ThreadName)
{
    if (!options.Parameters.empty()) {
        const std::u16string key = std::u16string(which_.ServiceKey) + u"\\Parameters";
        for (const auto &[name, value] : options.Parameters)
            machine_.Component<sim::Registry>().SetDword(key, name, value);
    }
    if (options.Load == DriverLoad::AtBoot)
        (void)Load();
}

NTSTATUS MachineRig::Load()
{
    if (driver_ != nullptr)
        return STATUS_SUCCESS;
    if (image_)
        driver_ = sim::image::LoadDriver(machine_, *image_, which_.Name, which_.ServiceKey, &loadStatus_, &loadError_);
    else
        driver_ = machine_.LoadDriver(which_.Name, which_.Entry, which_.ServiceKey, &loadStatus_);
    if (driver_ != nullptr)
        Pnp().RegisterFunctionDriver(driver_);
    return loadStatus_;
}

vextora::usb::UsbPort &MachineRig::Plug(std::unique_ptr<vextora::usb::DeviceModel> model,
                                        vextora::usb::PortOptions options)
{
    // The links come sorted by name, not by age: the device's own is the one
    // that was not there before, and none when it did not start.
    const auto before = Links();
    port_ = &Bus().Plug(std::move(model), std::move(options));
    ports_.push_back(port_);
    Pnp().WaitIdle();
    link_.clear();
    for (auto &link : Links())
        if (std::find(before.begin(), before.end(), link) == before.end()) {
            link_ = std::move(link);
            break;
        }
    return *port_;
}

std::vector<std::u16string> MachineRig::Links()
{
    if (which_.InterfaceClass == nullptr)
        return {};
    return Io().Interfaces(sim::ToInterfaceClass(*which_.InterfaceClass));
}

std::string MachineRig::Open(const std::u16string &pipe, vxio::Handle *handle)
{
    if (link_.empty())
        return "the device did not start";
    vxio::Status s = Io().Open(link_, pipe, handle);
    if (s < 0)
        return "open failed: " + StatusName(s);
    handles_.push_back(*handle);
    return {};
}

void MachineRig::AddIrpObserver(sim::IrpObserver *observer)
{
    machine_.AddIrpObserver(observer);
    observers_.push_back(observer);
}

vxio::Status MachineRig::Close(vxio::Handle handle)
{
    handles_.erase(std::remove(handles_.begin(), handles_.end(), handle), handles_.end());
    return Io().Close(handle);
}

void MachineRig::CloseAll()
{
    for (auto h : handles_)
        (void)Io().Close(h);
    handles_.clear();
    Io().WaitIdle();
}

namespace {

// The driver's device object still sits on the PDO.
bool DriverHolds(sim::PnpManager &pnp, PDEVICE_OBJECT pdo)
{
    if (!pnp.Knows(pdo))
        return false;
    switch (pnp.State(pdo)) {
    case sim::NodeState::Added:
    case sim::NodeState::Started:
    case sim::NodeState::QueryStopped:
    case sim::NodeState::Stopped:
    case sim::NodeState::QueryRemoved:
    case sim::NodeState::SurpriseRemoved: return true;
    default: return false;
    }
}

}  // namespace

std::string MachineRig::RemoveDevices(Removal how)
{
    std::string problems;
    if (how == Removal::Unplug) {
        // The bus's own shutdown deletes a PDO under the driver's device
        // object: every device goes through removal first.
        for (auto *port : ports_)
            if (port->Connected())
                Bus().Unplug(*port);
    } else {
        // A port unplugged by the test is the PnP manager's to finish: it
        // removes the device once the last handle closes, and the bus
        // deletes the PDO.
        std::vector<PDEVICE_OBJECT> pdos = adopted_;
        for (auto *port : ports_)
            if (port->Connected())
                pdos.push_back(port->Pdo());
        Pnp().WaitIdle();
        for (PDEVICE_OBJECT pdo : pdos) {
            if (!DriverHolds(Pnp(), pdo))
                continue;
            // After a surprise removal only the removal itself is left.
            const bool disable = how == Removal::Disable && Pnp().State(pdo) != sim::NodeState::SurpriseRemoved;
            const NTSTATUS status = disable ? Pnp().Disable(pdo) : Pnp().Remove(pdo);
            Pnp().WaitIdle();
            // A request answered with success can still leave the device
            // short of removed (a vetoed query, a removal left pending): say
            // where it stopped, not only the status.
            const std::string verb = disable ? "disabling" : "removing";
            const sim::NodeState state = Pnp().State(pdo);
            if (!NT_SUCCESS(status))
                problems += verb + " the device failed: " + StatusName(status) + "\n";
            else if (state != sim::NodeState::Removed)
                problems += verb + " the device left it " + sim::NodeStateName(state) + ", not removed\n";
        }
    }
    Pnp().WaitIdle();
    Power().WaitIdle();
    return problems;
}

std::string MachineRig::Finish(Removal how)
{
    CloseAll();
    std::string problems = RemoveDevices(how);
    return problems + Shutdown();
}

std::string MachineRig::Shutdown()
{
    if (!shutDown_) {
        shutDown_ = true;
        Bus().Shutdown();
        for (auto *observer : observers_)
            machine_.RemoveIrpObserver(observer);
        observers_.clear();
        // A driver whose DriverEntry failed was never loaded: unloading it
        // would only report the rig's own misuse.
        if (driver_ != nullptr)
            machine_.UnloadDriver(driver_);
        machine_.CheckForLeaks();
    }
    return machine_.ReportText();
}

}  // namespace vx
