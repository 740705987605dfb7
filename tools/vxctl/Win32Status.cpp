#include "tools/vxctl/Win32Status.h"

namespace vxctl {
namespace {

struct Pair {
    uint32_t error;
    uint32_t status;
};

// Each NTSTATUS a request on this driver can end with, beside the Win32 error
// the system turns it into. Where several statuses share an error, the first
// row for that error is the one StatusFromWin32Error answers with.
constexpr Pair kPairs[] = {
    {0, 0x00000000},     // ERROR_SUCCESS / STATUS_SUCCESS
    {997, 0x00000103},   // ERROR_IO_PENDING / STATUS_PENDING
    {234, 0x80000005},   // ERROR_MORE_DATA / STATUS_BUFFER_OVERFLOW
    {31, 0xC0000001},    // ERROR_GEN_FAILURE / STATUS_UNSUCCESSFUL
    {1, 0xC0000010},     // ERROR_INVALID_FUNCTION / STATUS_INVALID_DEVICE_REQUEST
    {6, 0xC0000008},     // ERROR_INVALID_HANDLE / STATUS_INVALID_HANDLE
    {87, 0xC000000D},    // ERROR_INVALID_PARAMETER / STATUS_INVALID_PARAMETER
    {2, 0xC000000E},     // ERROR_FILE_NOT_FOUND / STATUS_NO_SUCH_DEVICE
    {2, 0xC0000034},     // ERROR_FILE_NOT_FOUND / STATUS_OBJECT_NAME_NOT_FOUND
    {3, 0xC000003A},     // ERROR_PATH_NOT_FOUND / STATUS_OBJECT_PATH_NOT_FOUND
    {5, 0xC0000022},     // ERROR_ACCESS_DENIED / STATUS_ACCESS_DENIED
    {5, 0xC0000056},     // ERROR_ACCESS_DENIED / STATUS_DELETE_PENDING
    {8, 0xC0000017},     // ERROR_NOT_ENOUGH_MEMORY / STATUS_NO_MEMORY
    {122, 0xC0000023},   // ERROR_INSUFFICIENT_BUFFER / STATUS_BUFFER_TOO_SMALL
    {1450, 0xC000009A},  // ERROR_NO_SYSTEM_RESOURCES / STATUS_INSUFFICIENT_RESOURCES
    {22, 0xC0000184},    // ERROR_BAD_COMMAND / STATUS_INVALID_DEVICE_STATE
    {23, 0xC000009C},    // ERROR_CRC / STATUS_DEVICE_DATA_ERROR
    {50, 0xC00000BB},    // ERROR_NOT_SUPPORTED / STATUS_NOT_SUPPORTED
    {995, 0xC0000120},   // ERROR_OPERATION_ABORTED / STATUS_CANCELLED
    {1167, 0xC000009D},  // ERROR_DEVICE_NOT_CONNECTED / STATUS_DEVICE_NOT_CONNECTED
    {55, 0xC00002B6},    // ERROR_DEV_NOT_EXIST / STATUS_DEVICE_REMOVED
    {1117, 0xC0000185},  // ERROR_IO_DEVICE / STATUS_IO_DEVICE_ERROR
    {121, 0xC00000B5},   // ERROR_SEM_TIMEOUT / STATUS_IO_TIMEOUT
    {21, 0xC00000A3},    // ERROR_NOT_READY / STATUS_DEVICE_NOT_READY
    {170, 0x80000011},   // ERROR_BUSY / STATUS_DEVICE_BUSY
    {1784, 0xC00000E8},  // ERROR_INVALID_USER_BUFFER / STATUS_INVALID_USER_BUFFER
};

}  // namespace

std::optional<int32_t> StatusFromWin32Error(uint32_t error)
{
    for (const Pair &p : kPairs)
        if (p.error == error)
            return static_cast<int32_t>(p.status);
    return std::nullopt;
}

std::optional<uint32_t> Win32ErrorFromStatus(int32_t status)
{
    for (const Pair &p : kPairs)
        if (p.status == static_cast<uint32_t>(status))
            return p.error;
    return std::nullopt;
}

}  // namespace vxctl
