#include "tools/vxsim/SimAppIo.h"

#include <cstring>

namespace vx {
namespace {

class SimRequest final : public app::Request {
public:
    explicit SimRequest(std::shared_ptr<vxio::Request> request) : request_(std::move(request)) {}
    bool Done() const override { return request_->Done(); }
    app::Status Wait() override { return request_->Wait(); }
    app::Status Result() const override { return request_->Result(); }
    uint64_t Information() const override { return request_->Information(); }
    void Cancel() override { request_->Cancel(); }

private:
    std::shared_ptr<vxio::Request> request_;
};

std::shared_ptr<app::Request> Wrap(std::shared_ptr<vxio::Request> request)
{
    return std::make_shared<SimRequest>(std::move(request));
}

}  // namespace

std::vector<std::u16string> SimAppIo::Interfaces(const app::InterfaceClass &Class)
{
    vxio::InterfaceClass same;
    static_assert(sizeof same == sizeof Class);
    std::memcpy(&same, &Class, sizeof same);
    return io_.Interfaces(same);
}

app::Status SimAppIo::Open(std::u16string_view LinkName, std::u16string_view FileName, app::Handle *Result)
{
    return io_.Open(LinkName, FileName, Result);
}

std::shared_ptr<app::Request> SimAppIo::Read(app::Handle Handle, void *Buffer, uint32_t Length)
{
    return Wrap(io_.Read(Handle, Buffer, Length));
}

std::shared_ptr<app::Request> SimAppIo::Write(app::Handle Handle, const void *Buffer, uint32_t Length)
{
    return Wrap(io_.Write(Handle, Buffer, Length));
}

std::shared_ptr<app::Request> SimAppIo::Control(app::Handle Handle, uint32_t Code, const void *Input,
                                                uint32_t InputLength, void *Output, uint32_t OutputLength)
{
    return Wrap(io_.Control(Handle, Code, Input, InputLength, Output, OutputLength));
}

}  // namespace vx
