// The NTSTATUS behind a Win32 error code, for the places where Windows hands
// an application only the Win32 error (CreateFile, and requests refused
// before the I/O manager wrote the OVERLAPPED's status). Plain C++ so that the
// simulator build tests it.
#pragma once

#include <cstdint>
#include <optional>

namespace vxctl {

// The status this driver's stack most plausibly returned for a Win32 error.
// Several NTSTATUS values share one Win32 error (STATUS_ACCESS_DENIED and
// STATUS_DELETE_PENDING both become ERROR_ACCESS_DENIED): the table answers
// with the one the driver and the bus driver below it use. Empty for an
// error the table does not know.
std::optional<int32_t> StatusFromWin32Error(uint32_t error);

// The Win32 error Windows gives an application for an NTSTATUS that the
// table knows (the inverse direction, the way RtlNtStatusToDosError maps it).
std::optional<uint32_t> Win32ErrorFromStatus(int32_t status);

}  // namespace vxctl
