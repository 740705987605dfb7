// The low-resource sweep's rig: the test rig with the loopback device,
// driven through the managers as an application and the system drive it,
// and optionally vextora.sys in place of the built-in driver. Every call is
// from the rig's bound thread.
#pragma once

#include "driver/Driver.h"
#include "include/vextora.h"
#include "sim/usb/Models.h"
#include "tests/support/TestRig.h"

#include <cstdint>
#include <memory>
#include <string>

namespace lowres {

struct RigOptions {
    uint64_t Seed = 1;
    bool IdleSuspend = false;
    bool DeferLoad = false;  // the driver is loaded by Load(), not by the constructor
};

class Rig : public vxtest::TestRig {
public:
    explicit Rig(const RigOptions &Options);
    ~Rig() { Finish(); }

    PDEVICE_OBJECT Pdo() { return Port()->Pdo(); }
    bool Loaded() const { return Driver() != nullptr; }
    // The kernel image every rig of this process loads in place of the
    // built-in driver: vextora.sys for x64 when VEXTORA_LOWRES_IMAGE names
    // it, else null. A file that is not a loadable image ends the process
    // with what is wrong.
    static const std::shared_ptr<const sim::image::ImageFile> &Image();

    // Plugs the loopback device and waits for the PnP manager; true when the
    // device was started and its interface is enabled.
    bool Plug();
    bool Plug(std::unique_ptr<vextora::usb::DeviceModel> Model);
    bool Started();
    // Opens the device (empty name) or a pipe; the handle is closed at
    // Finish when still open.
    NTSTATUS Open(std::u16string_view Name, vxio::Handle *Handle);
    // Writes a pattern to PIPE0 and reads it back from PIPE1 on fresh
    // handles; an empty string when every byte came back, else what failed.
    std::string RoundTrip(uint8_t Salt);

    // Ends injection and runs the rig's teardown; what it found is in
    // Machine().ReportText() (a removal the faults made fail is not a
    // finding here).
    void Finish();

private:
    std::u16string link_;
};

}  // namespace lowres
