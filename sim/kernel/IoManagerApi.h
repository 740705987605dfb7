// What an application does with a device: find it by interface class, open
// a handle by link name and file name, read, write, send device-control
// requests synchronously or overlapped, cancel, close. Standard types only:
// the simulator's I/O manager (sim::IoManager) implements it, and so does
// vxctl.exe over Win32 (tools/vxctl/Win32Io.h), so the tools' application
// steps and scenarios (tools/common) drive either alike.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vxio {

// NTSTATUS values (0 success, 0x103 pending, 0xC... errors).
using Status = int32_t;
inline constexpr Status kSuccess = 0;
inline constexpr Status kPending = 0x103;
inline constexpr bool Succeeded(Status status) { return status >= 0; }

struct InterfaceClass {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

using Handle = uint64_t;
inline constexpr Handle kInvalidHandle = 0;

// One request in flight (an OVERLAPPED). Done() polls, Wait() blocks the
// calling thread until the request has completed and returns its status.
class Request {
public:
    virtual ~Request() = default;
    virtual bool Done() const = 0;
    virtual Status Wait() = 0;
    // Final status, or kPending while not done.
    virtual Status Result() const = 0;
    // Bytes transferred (IoStatus.Information), valid once done.
    virtual uint64_t Information() const = 0;
    // Asks for this request to be cancelled (CancelIoEx on its OVERLAPPED).
    virtual void Cancel() = 0;
};

class DeviceIo {
public:
    virtual ~DeviceIo() = default;

    // Link names of the enabled interfaces of a class ("\\?\...").
    virtual std::vector<std::u16string> Interfaces(const InterfaceClass &Class) = 0;
    // Opens LinkName, or the file FileName names under it when it is not
    // empty, as the application writes it after the link ("\PIPE01"; a name
    // without a leading backslash gets one). On success *Result is the
    // handle.
    virtual Status Open(std::u16string_view LinkName, std::u16string_view FileName, Handle *Result) = 0;
    // Closes the handle. Requests still pending on it complete later.
    virtual Status Close(Handle Handle) = 0;

    // Overlapped requests. The buffers must stay valid until the request is
    // done. A request refused before it reached the driver comes back done.
    virtual std::shared_ptr<Request> Read(Handle Handle, void *Buffer, uint32_t Length) = 0;
    virtual std::shared_ptr<Request> Write(Handle Handle, const void *Buffer, uint32_t Length) = 0;
    virtual std::shared_ptr<Request> Control(Handle Handle, uint32_t Code, const void *Input, uint32_t InputLength,
                                             void *Output, uint32_t OutputLength) = 0;
    // Cancels every pending request issued on the handle.
    virtual Status CancelIo(Handle Handle) = 0;

    // Synchronous forms.
    Status ReadSync(Handle Handle, void *Buffer, uint32_t Length, uint32_t *Transferred = nullptr)
    {
        return Finish(Read(Handle, Buffer, Length), Transferred);
    }
    Status WriteSync(Handle Handle, const void *Buffer, uint32_t Length, uint32_t *Transferred = nullptr)
    {
        return Finish(Write(Handle, Buffer, Length), Transferred);
    }
    Status ControlSync(Handle Handle, uint32_t Code, const void *Input, uint32_t InputLength, void *Output,
                       uint32_t OutputLength, uint32_t *Returned = nullptr)
    {
        return Finish(Control(Handle, Code, Input, InputLength, Output, OutputLength), Returned);
    }

private:
    static Status Finish(const std::shared_ptr<Request> &request, uint32_t *Transferred)
    {
        const Status status = request->Wait();
        if (Transferred != nullptr) {
            *Transferred = static_cast<uint32_t>(request->Information());
        }
        return status;
    }
};

}  // namespace vxio
