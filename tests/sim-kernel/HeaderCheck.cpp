// Compiles the driver's shared headers against the simulator's platform
// names, as C++17 without exceptions, and checks the layouts the driver and
// the DDK macros rely on.
#include "driver/DeviceExtension.h"
#include "driver/Driver.h"
#include "idle/Idle.h"
#include "io/Io.h"
#include "pnp/Pnp.h"
#include "power/Power.h"
#include "wmi/Wmi.h"

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG are 32-bit");
static_assert(sizeof(ULONG_PTR) == sizeof(void *), "ULONG_PTR is pointer-sized");
static_assert(sizeof(WCHAR) == 2, "WCHAR is UTF-16");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER is 64-bit");
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES is 64 bytes");
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) + 2 * sizeof(void *) ==
                  sizeof(IO_STACK_LOCATION),
              "CompletionRoutine and Context end the stack location");
static_assert(PowerSystemShutdown == 6 && PowerDeviceD3 == 4, "power state numbering");
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x220000,
              "device-control codes of the driver");

// A GUID written the way driver code defines one compiles in both builds.
static const GUID HeaderCheckGuid = {0x9a655975, 0x1560, 0x4e63, {0x95, 0x77, 0x35, 0x24, 0xa0, 0x39, 0x4d, 0x23}};

int HeaderCheckUse()
{
    KIRQL old;
    KSPIN_LOCK lock = 0;
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
    return InlineIsEqualGUID(HeaderCheckGuid, HeaderCheckGuid) && wcslen(VX_TEXT("abc")) == 3;
}
