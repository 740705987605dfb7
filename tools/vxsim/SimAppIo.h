// The tools' application I/O interface over the simulated machine's I/O
// manager: what vxsim's application steps, and its other commands acting as
// an application, go through.
#pragma once

#include "sim/kernel/IoManagerApi.h"
#include "tools/common/AppIo.h"

namespace vx {

class SimAppIo final : public app::DeviceIo {
public:
    explicit SimAppIo(vxio::DeviceIo &io) : io_(io) {}

    std::vector<std::u16string> Interfaces(const app::InterfaceClass &Class) override;
    app::Status Open(std::u16string_view LinkName, std::u16string_view FileName, app::Handle *Result) override;
    app::Status Close(app::Handle Handle) override { return io_.Close(Handle); }
    std::shared_ptr<app::Request> Read(app::Handle Handle, void *Buffer, uint32_t Length) override;
    std::shared_ptr<app::Request> Write(app::Handle Handle, const void *Buffer, uint32_t Length) override;
    std::shared_ptr<app::Request> Control(app::Handle Handle, uint32_t Code, const void *Input, uint32_t InputLength,
                                          void *Output, uint32_t OutputLength) override;
    app::Status CancelIo(app::Handle Handle) override { return io_.CancelIo(Handle); }

private:
    vxio::DeviceIo &io_;
};

}  // namespace vx
