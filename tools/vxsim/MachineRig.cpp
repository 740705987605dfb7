#include "tools/vxsim/MachineRig.h"

#include <algorithm>

#include "driver/Driver.h"
#include "sim/kernel/Registry.h"
#include "tools/common/StatusNames.h"

namespace vx {

RigDriver VextoraRigDriver()
{
    return {u"\\Driver\\VEXTORA", DriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXTORA",
            &VextoraInterfaceClassGuid};
}

MachineRig::MachineRig(const RigOptions &options)
    : which_(options.Driver), machine_(options.Machine), scope_(machine_, options.ThreadName)
{
    if (!options.Parameters.empty()) {
        const std::u16string key = std::u16string(which_.ServiceKey) + u"\\Parameters";
        for (const auto &[name, value] : options.Parameters)
            machine_.Component<sim::Registry>().SetDword(key, name, value);
    }
    if (options.Image)
        driver_ = sim::image::LoadDriver(machine_, *options.Image, which_.Name, which_.ServiceKey, nullptr, &loadError_);
    else
        driver_ = machine_.LoadDriver(which_.Name, which_.Entry, which_.ServiceKey);
    if (driver_ != nullptr)
        Pnp().RegisterFunctionDriver(driver_);
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

std::string MachineRig::Finish()
{
    for (auto h : handles_)
        Io().Close(h);
    handles_.clear();
    Io().WaitIdle();
    // The bus's own shutdown deletes a PDO under the driver's device object:
    // every device goes through removal first.
    for (auto *port : ports_)
        if (port->Connected())
            Bus().Unplug(*port);
    Pnp().WaitIdle();
    return Shutdown();
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
