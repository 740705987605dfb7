#include "tools/common/StatusNames.h"

#include <cstdio>
#include <iterator>

#include "tools/common/Numbers.h"

namespace vx {
namespace {

struct Named {
    uint32_t value;
    const char *name;
};

// Every status the platform's headers define, and those Windows returns to an
// application of this driver beside them (what vxctl.exe meets).
constexpr Named kStatuses[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000101, "STATUS_ALERTED"},
    {0x00000102, "STATUS_TIMEOUT"},
    {0x00000103, "STATUS_PENDING"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0x80000011, "STATUS_DEVICE_BUSY"},
    {0x8000001A, "STATUS_NO_MORE_ENTRIES"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000004, "STATUS_INFO_LENGTH_MISMATCH"},
    {0xC0000008, "STATUS_INVALID_HANDLE"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000024, "STATUS_OBJECT_TYPE_MISMATCH"},
    {0xC0000033, "STATUS_OBJECT_NAME_INVALID"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000035, "STATUS_OBJECT_NAME_COLLISION"},
    {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND"},
    {0xC0000043, "STATUS_SHARING_VIOLATION"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC000009C, "STATUS_DEVICE_DATA_ERROR"},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC00000A3, "STATUS_DEVICE_NOT_READY"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC00000E8, "STATUS_INVALID_USER_BUFFER"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC0000128, "STATUS_FILE_CLOSED"},
    {0xC0000182, "STATUS_DEVICE_CONFIGURATION_ERROR"},
    {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    {0xC0000185, "STATUS_IO_DEVICE_ERROR"},
    {0xC0000206, "STATUS_INVALID_BUFFER_SIZE"},
    {0xC0000225, "STATUS_NOT_FOUND"},
    {0xC000028F, "STATUS_DEVICE_POWERED_OFF"},
    {0xC0000295, "STATUS_WMI_GUID_NOT_FOUND"},
    {0xC0000296, "STATUS_WMI_INSTANCE_NOT_FOUND"},
    {0xC0000297, "STATUS_WMI_ITEMID_NOT_FOUND"},
    {0xC00002B6, "STATUS_DEVICE_REMOVED"},
    {0xC00002C6, "STATUS_WMI_READ_ONLY"},
    {0xC00002C7, "STATUS_WMI_SET_FAILURE"},
    {0xC00002D3, "STATUS_POWER_STATE_INVALID"},
};

}  // namespace

std::string StatusName(int32_t status)
{
    for (const auto &s : kStatuses)
        if (s.value == static_cast<uint32_t>(status))
            return s.name;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<uint32_t>(status));
    return hex;
}

std::optional<int32_t> StatusFromName(const std::string &name)
{
    for (const auto &s : kStatuses)
        if (name == s.name)
            return static_cast<int32_t>(s.value);
    if (name == "STATUS_WAIT_0")
        return 0;
    if (name.rfind("0x", 0) == 0 || name.rfind("0X", 0) == 0) {
        auto value = ParseNumber(name);
        if (value && *value <= 0xFFFFFFFFull)
            return static_cast<int32_t>(static_cast<uint32_t>(*value));
    }
    return std::nullopt;
}

std::string DescribeStatuses()
{
    std::string s;
    for (const auto &status : kStatuses) {
        char line[80];
        std::snprintf(line, sizeof line, "  0x%08X  %s\n", status.value, status.name);
        s += line;
    }
    return s;
}

}  // namespace vx
