// One machine with the driver loaded and the loopback device, driven through
// the managers as an application and the system drive it. Every call is from
// the rig's bound thread.
#pragma once

#include "driver/Driver.h"
#include "include/vextora.h"
#include "sim/image/KernelImage.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/PowerManager.h"
#include "sim/usb/Models.h"
#include "sim/usb/UsbBus.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lowres {

struct RigOptions {
    uint64_t Seed = 1;
    bool IdleSuspend = false;
    bool DeferLoad = false;  // the driver is loaded by Load(), not by the constructor
};

class Rig {
public:
    explicit Rig(const RigOptions &Options);
    ~Rig();

    sim::Machine &Machine() { return *machine_; }
    sim::IoManager &Io() { return machine_->Component<sim::IoManager>(); }
    sim::PnpManager &Pnp() { return machine_->Component<sim::PnpManager>(); }
    sim::PowerManager &Power() { return machine_->Component<sim::PowerManager>(); }
    vextora::usb::UsbPort *Port() { return port_; }
    PDEVICE_OBJECT Pdo() { return port_->Pdo(); }
    bool Loaded() const { return driver_ != nullptr; }
    // Loads the driver (once) and returns what DriverEntry returned.
    NTSTATUS Load();
    // The kernel image every rig of this process loads in place of the
    // built-in driver: vextora.sys for x64 when VEXTORA_LOWRES_IMAGE names
    // it, else null. A file that is not a loadable image ends the process
    // with what is wrong.
    static const sim::image::ImageFile *Image();

    // Plugs the loopback device and waits for the PnP manager; true when the
    // device was started and its interface is enabled.
    bool Plug();
    bool Plug(std::unique_ptr<vextora::usb::DeviceModel> Model);
    bool Started();
    // Opens the device (empty name) or a pipe; the handle is closed at
    // Finish when still open.
    NTSTATUS Open(std::u16string_view Name, vxio::Handle *Handle);
    void Close(vxio::Handle Handle);
    // Closes every handle opened through the rig.
    void CloseAll();
    // Writes a pattern to PIPE0 and reads it back from PIPE1 on fresh
    // handles; an empty string when every byte came back, else what failed.
    std::string RoundTrip(uint8_t Salt);

    // Closes every handle, removes the device when it is still present,
    // unloads the driver, shuts the bus down and runs the leak checks.
    void Finish();

private:
    std::unique_ptr<sim::Machine> machine_;
    std::unique_ptr<sim::ThreadScope> scope_;
    PDRIVER_OBJECT driver_ = nullptr;
    vextora::usb::UsbPort *port_ = nullptr;
    std::u16string link_;
    std::vector<vxio::Handle> open_;
    bool finished_ = false;
};

}  // namespace lowres
