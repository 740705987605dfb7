// vxio::DeviceIo over Win32: SetupAPI to find interfaces, CreateFile with
// FILE_FLAG_OVERLAPPED to open, ReadFile/WriteFile/DeviceIoControl with an
// OVERLAPPED each, GetOverlappedResult to wait, CancelIoEx to cancel.
// Windows builds only.
#pragma once

#include "sim/kernel/IoManagerApi.h"

namespace vxctl {

class Win32Io final : public vxio::DeviceIo {
public:
    // Link names ("\\?\...") of the present, enabled interfaces of Class.
    std::vector<std::u16string> Interfaces(const vxio::InterfaceClass &Class) override;
    // Statuses: those of the driver's create, or the one StatusFromWin32Error
    // gives for CreateFile's error when the system did not keep the NTSTATUS.
    vxio::Status Open(std::u16string_view LinkName, std::u16string_view FileName, vxio::Handle *Result) override;
    vxio::Status Close(vxio::Handle Handle) override;
    std::shared_ptr<vxio::Request> Read(vxio::Handle Handle, void *Buffer, uint32_t Length) override;
    std::shared_ptr<vxio::Request> Write(vxio::Handle Handle, const void *Buffer, uint32_t Length) override;
    std::shared_ptr<vxio::Request> Control(vxio::Handle Handle, uint32_t Code, const void *Input,
                                           uint32_t InputLength, void *Output, uint32_t OutputLength) override;
    vxio::Status CancelIo(vxio::Handle Handle) override;
};

}  // namespace vxctl
