// vxio::DeviceIo over Win32: SetupAPI to find interfaces, CreateFile with
// FILE_FLAG_OVERLAPPED to open, ReadFile/WriteFile/DeviceIoControl with an
// OVERLAPPED each, GetOverlappedResult to wait, CancelIo to cancel. Only
// what Windows 2000 has. Windows builds only.
#pragma once

#include <cstdint>
#include <string>

#include "sim/kernel/IoManagerApi.h"

namespace vxctl {

class Win32Io final : public vxio::DeviceIo {
public:
    // Link names ("\\?\...") of the present, enabled interfaces of Class.
    std::vector<std::u16string> Interfaces(const vxio::InterfaceClass &Class) override;
    // Statuses: those of the driver's create, or the one StatusFromWin32Error
    // gives for CreateFile's error when the system did not keep the NTSTATUS.
    // Under Wine a pipe's file name opens the Wine harness's gate for that
    // pipe, \\.\VxPipeN (tests/wine/busdriver/VxBus.cpp), since Wine opens
    // no file below a device.
    vxio::Status Open(std::u16string_view LinkName, std::u16string_view FileName, vxio::Handle *Result) override;
    vxio::Status Close(vxio::Handle Handle) override;
    std::shared_ptr<vxio::Request> Read(vxio::Handle Handle, void *Buffer, uint32_t Length) override;
    std::shared_ptr<vxio::Request> Write(vxio::Handle Handle, const void *Buffer, uint32_t Length) override;
    std::shared_ptr<vxio::Request> Control(vxio::Handle Handle, uint32_t Code, const void *Input, uint32_t InputLength,
                                           void *Output, uint32_t OutputLength) override;
    // Cancels what the calling thread issued on the handle (CancelIo).
    vxio::Status CancelIo(vxio::Handle Handle) override;
};

// The Win32 error an application's GetLastError gives for a request that
// ended with `status` (RtlNtStatusToDosError).
uint32_t Win32ErrorOf(vxio::Status status);
// "Win32 error 5: Access is denied.": the error an application sees for a
// request that ended with `status`, and the system's text for it.
std::string Win32FailureText(vxio::Status status);

}  // namespace vxctl
