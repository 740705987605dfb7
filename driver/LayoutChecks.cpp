// Sizes of the platform structures that cross the boundary to the bus driver
// and the PnP manager. The 32-bit sizes are those of 32-bit Windows; both the
// DDK headers and the simulator's definitions must agree with them wherever
// pointers are 4 bytes wide.
#include "driver/DeviceExtension.h"

namespace {
constexpr bool kPointers32 = sizeof(void *) == 4;
}  // namespace

static_assert(!kPointers32 || sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80,
              "_URB_CONTROL_DESCRIPTOR_REQUEST must be 80 bytes on 32-bit Windows");
static_assert(!kPointers32 || sizeof(struct _URB_SELECT_CONFIGURATION) == 60,
              "_URB_SELECT_CONFIGURATION must be 60 bytes on 32-bit Windows");
static_assert(!kPointers32 || sizeof(struct _URB_PIPE_REQUEST) == 24,
              "_URB_PIPE_REQUEST must be 24 bytes on 32-bit Windows");
static_assert(!kPointers32 || sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72,
              "_URB_BULK_OR_INTERRUPT_TRANSFER must be 72 bytes on 32-bit Windows");
static_assert(!kPointers32 || sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST must be 80 bytes on 32-bit Windows");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES must be 64 bytes");
