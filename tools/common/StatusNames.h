// NTSTATUS values by their platform names, both ways: every status the
// platform's headers define and those Windows returns to an application.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vx {

// "STATUS_SUCCESS" for 0; "0xC0000999" for a value without a name here.
std::string StatusName(int32_t status);
// A platform name or a hexadecimal value ("0xC0000001").
std::optional<int32_t> StatusFromName(const std::string &name);
// Every name, one per line with its value, for `vxsim help statuses`.
std::string DescribeStatuses();

}  // namespace vx
