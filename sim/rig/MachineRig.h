// One simulated machine with one driver loaded, as the vxsim commands boot
// it: the machine, the calling thread bound to it, the driver loaded and
// registered as the function driver of what is plugged in; then devices
// plugged, handles opened on the device's interface, and the teardown that
// checks nothing was left behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/image/KernelImage.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/PowerManager.h"
#include "sim/rig/VextoraNames.h"
#include "sim/usb/DeviceModel.h"
#include "sim/usb/UsbBus.h"

namespace vx {

// A driver as the rig loads it.
struct RigDriver {
    const char16_t *Name;  // driver object, e.g. \Driver\VEXTORA
    PDRIVER_INITIALIZE Entry;
    const char16_t *ServiceKey;  // registry path DriverEntry receives
    const GUID *InterfaceClass;  // the device interface its devices register; may be null
};

// vextora itself, under its own service key.
RigDriver VextoraRigDriver();

// When the rig runs DriverEntry.
enum class DriverLoad {
    AtBoot,  // in the constructor
    Later,   // at Load(), e.g. once the test has set a fault plan
};

struct RigOptions {
    sim::MachineOptions Machine;
    RigDriver Driver = VextoraRigDriver();
    std::string ThreadName = "vxsim";  // of the calling thread on the machine
    // DWORD values written under the service key's Parameters subkey before
    // the driver loads (e.g. VextoraEnable = 1 for idle suspend).
    std::vector<std::pair<std::u16string, uint32_t>> Parameters;
    // A kernel image file (vextora.sys for x64) whose DriverEntry runs in
    // place of Driver.Entry, under Driver's name and service key; the rig
    // maps a copy of its own.
    std::shared_ptr<const sim::image::ImageFile> Image = nullptr;
    DriverLoad Load = DriverLoad::AtBoot;
};

// How Finish() takes away a device the driver still holds.
enum class Removal {
    Unplug,   // the device is pulled out: surprise removal, then removal
    Disable,  // the user disables it: query-remove, then remove
    Remove,   // the PnP manager removes it outright
};

// Lives on the thread that constructs it and is used from that thread
// (other simulated threads may use Machine() and its managers). Destroying
// the rig without Shutdown() leaves the teardown to the machine's own.
class MachineRig {
public:
    // Boots the machine and loads the driver (unless Load is Later). When
    // DriverEntry fails (its status in LoadStatus()) or the image could not
    // be mapped (LoadError()), Driver() is null, nothing is registered, and
    // Shutdown() does not unload it.
    explicit MachineRig(const RigOptions &options);
    MachineRig(const MachineRig &) = delete;
    MachineRig &operator=(const MachineRig &) = delete;

    // Loads the driver and registers it as the function driver, once;
    // returns DriverEntry's status (success when it is already loaded).
    NTSTATUS Load();

    // Plugs a device into a new port and waits until PnP is idle (the
    // driver has started it, or failed to). Port() and Link() then refer to
    // this device; the bus owns the model and the port.
    vextora::usb::UsbPort &Plug(std::unique_ptr<vextora::usb::DeviceModel> model,
                                vextora::usb::PortOptions options = {});

    // The driver's device interface links now enabled, sorted by name.
    std::vector<std::u16string> Links();
    // The link the last Plug()'s device enabled; empty when it enabled none
    // (it did not start), even while other devices' links are there.
    const std::u16string &Link() const { return link_; }

    // Opens `pipe` (empty: the device) on Link(); the rig closes the handle
    // in Finish(). Returns an empty string, or what went wrong (the device
    // did not start, or the open's status).
    [[nodiscard]] std::string Open(const std::u16string &pipe, vxio::Handle *handle);
    // A handle opened elsewhere that Finish() closes if it is still open.
    void Keep(vxio::Handle handle) { handles_.push_back(handle); }
    // Closes a handle (kept or not) and forgets it.
    vxio::Status Close(vxio::Handle handle);
    // Closes every kept handle and waits for the I/O manager.
    void CloseAll();

    // A device of the test's own bus driver that Finish() takes away like a
    // plugged one (with Removal::Disable or Removal::Remove).
    void Adopt(PDEVICE_OBJECT pdo) { adopted_.push_back(pdo); }

    // An observer of the driver's IRPs, removed by Shutdown() after the bus
    // is gone and before the driver object is: it may compare against it.
    void AddIrpObserver(sim::IrpObserver *observer);

    // Closes the kept handles, waits for the I/O, takes away every
    // device Plug() plugged or Adopt() named that the driver still holds
    // (Unplug: every port still connected), waits for PnP and power, then
    // Shutdown(). Returns the verifier's reports, and for Disable and
    // Remove each removal that failed or did not end with the device
    // removed; empty when there are none.
    [[nodiscard]] std::string Finish(Removal how = Removal::Unplug);
    // Finish()'s removal step alone: takes away every device the driver
    // still holds and waits for PnP and power. Returns what went wrong with
    // a Disable or Remove; a device already gone is left alone.
    [[nodiscard]] std::string RemoveDevices(Removal how);
    // Shuts the bus down, unloads the driver and checks for leaks; a device
    // the driver still has started is the caller's to remove first. Returns
    // the verifier's reports; a second call only returns them again.
    [[nodiscard]] std::string Shutdown();

    sim::Machine &Machine() { return machine_; }
    sim::IoManager &Io() { return machine_.Component<sim::IoManager>(); }
    sim::PnpManager &Pnp() { return machine_.Component<sim::PnpManager>(); }
    sim::PowerManager &Power() { return machine_.Component<sim::PowerManager>(); }
    vextora::usb::UsbBus &Bus() { return machine_.Component<vextora::usb::UsbBus>(); }
    PDRIVER_OBJECT Driver() const { return driver_; }
    const std::string &LoadError() const { return loadError_; }
    NTSTATUS LoadStatus() const { return loadStatus_; }
    // The port of the last Plug(); null before the first.
    vextora::usb::UsbPort *Port() const { return port_; }

private:
    RigDriver which_;
    std::shared_ptr<const sim::image::ImageFile> image_;
    // Declared before the scope: the thread is unbound before the machine
    // goes.
    sim::Machine machine_;
    sim::ThreadScope scope_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::string loadError_;
    NTSTATUS loadStatus_ = STATUS_UNSUCCESSFUL;
    vextora::usb::UsbPort *port_ = nullptr;
    std::vector<vextora::usb::UsbPort *> ports_;  // every Plug(), in order
    std::vector<PDEVICE_OBJECT> adopted_;
    std::u16string link_;
    std::vector<vxio::Handle> handles_;
    std::vector<sim::IrpObserver *> observers_;
    bool shutDown_ = false;
};

}  // namespace vx
