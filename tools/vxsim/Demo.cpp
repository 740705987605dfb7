// The scenario `vxsim demo` runs: the driver on the loopback device from
// plug-in to removal.
#include "tools/vxsim/Demo.h"

namespace vx {

const char kDemoScenario[] = R"(# vxsim demo: the driver on the loopback device, from plug-in to removal.

# Selective suspend is off unless the registry turns it on: the package
# installs VextoraEnable = 0, and the demo sets it to 1 before the device is
# plugged (the driver reads it when a device is added).
parameter VextoraEnable 1
plug loopback

# Every handle is exclusive: the device, and each pipe, opens once.
open dev
open dev2 expect STATUS_ACCESS_DENIED
open out "\PIPE00"
open in "\PIPE01"
open irq "\PIPE02"

# Data written to bulk OUT comes back on bulk IN, straight from and into the
# application's buffers.
write out 1 pattern 1
read in 1 verify
write out 512 pattern 2
read in 512 verify
write out 16K pattern 3
read in 16K verify
write out 64K pattern 4
read in 64K verify
write out 256K pattern 5
read in 256K verify
write out 256K pattern 6
read in 128K verify
read in 128K verify
write out 262145 expect STATUS_INVALID_PARAMETER
read irq 8

# The eight control requests.
ioctl dev GET_DEVICE_DESCRIPTOR out 18 info 18 show
ioctl dev GET_CONFIG_DESCRIPTOR out 256 show
ioctl dev GET_STRING_DESCRIPTOR 00 00 00 00 out 255 show
ioctl dev GET_STRING_DESCRIPTOR 01 00 09 04 out 255 show
ioctl dev GET_STRING_DESCRIPTOR 02 00 09 04 out 255 show
ioctl dev GET_STRING_DESCRIPTOR 03 00 09 04 out 255 show
ioctl dev CLASS_READ_BLOCK out 64 show
ioctl dev CLASS_READ out 8 info 1 show
ioctl dev CLASS_OTHER_WRITE 56 78 9A BC out 4
ioctl in RESET_PIPE
ioctl dev RESET_PIPE expect STATUS_INVALID_PARAMETER
ioctl dev RESET_DEVICE

# The management interface.
wmi get DebugPrintLevel 1
wmi set DebugPrintLevel 3
wmi get DebugPrintLevel 3

# Selective suspend: with every handle closed the idle device is suspended,
# and opening a handle brings it back.
close irq
close in
close out
close dev
idle within 30
open dev
expect-power D0
close dev

# System sleep, and wake-up from the device.
sleep S3
expect-power D2
remote-wake
resume
expect-power D0

# Unplug with a read pending: it fails, the handles close, the removal follows.
open in "\PIPE01"
read in 512 async as pending
unplug
wait pending expect STATUS_DEVICE_NOT_CONNECTED
close in
)";

}  // namespace vx
