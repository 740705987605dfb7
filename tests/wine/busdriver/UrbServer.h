// How the Wine harness's bus carries out the URBs a function driver submits
// to its device: select and unconfigure, pipe requests, bulk and interrupt
// transfers, descriptor reads and class and vendor requests, on the loopback
// device of LoopbackDevice.h. Driver-side code (platform/Platform.h): built
// into vxbus.sys and, against the simulator's WDM names, into the tests.
#pragma once

#include "platform/Platform.h"
#include "tests/wine/busdriver/LoopbackDevice.h"

namespace vxbus {

// One port with its device. A handle the port did not give out, or one from
// before the last select-configuration or unconfigure, is refused.
struct Port {
    LoopbackDevice *Device;
    bool Connected;
    struct Pipe {
        uint8_t Address;
        ULONG Generation;
    } Pipes[8];
    ULONG PipeCount;
    ULONG Generation;  // bumped at each select-configuration and unconfigure
};

// Carries out `urb` at once. Sets UrbHeader.Status and returns the NTSTATUS
// the bus completes the IRP with: STATUS_SUCCESS, STATUS_INVALID_PARAMETER
// (malformed URB, unknown pipe handle or function, wrong direction),
// STATUS_DEVICE_NOT_CONNECTED (port empty) or STATUS_UNSUCCESSFUL (stall, or
// a short IN transfer without USBD_SHORT_TRANSFER_OK). STATUS_PENDING when a
// bulk IN transfer finds no data (the device NAKs): the URB is untouched,
// and the caller submits it again once data may have come. Aborting and
// resetting pipes is left to the caller, which holds the waiting transfers.
// Any IRQL the buffers allow; never blocks; the URB stays the caller's.
NTSTATUS SubmitUrb(Port *port, PURB urb);

// The pipe handle of a bulk or interrupt transfer URB, or null for any other
// URB: the caller's key for aborting what waits on a pipe.
USBD_PIPE_HANDLE TransferPipe(PURB urb);

}  // namespace vxbus
