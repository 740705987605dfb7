#include "tools/vxctl/Win32Io.h"

#include <windows.h>
#include <setupapi.h>

#include <vector>

#include "tools/vxctl/Win32Status.h"

namespace vxctl {
namespace {

using RtlGetLastNtStatusFn = LONG(WINAPI *)();
using RtlNtStatusToDosErrorFn = ULONG(WINAPI *)(LONG);

// The NTSTATUS behind the calling thread's last Win32 error. kernel32 keeps
// the status it converted in the thread's environment block; it is used when
// it still agrees with the error, otherwise the table decides.
vxio::Status LastStatus(DWORD error)
{
    static const auto getLast = reinterpret_cast<RtlGetLastNtStatusFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetLastNtStatus")));
    static const auto toDos = reinterpret_cast<RtlNtStatusToDosErrorFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
    if (getLast != nullptr && toDos != nullptr) {
        const LONG status = getLast();
        if (status < 0 && toDos(status) == error)
            return status;
    }
    if (auto status = StatusFromWin32Error(error))
        return *status;
    // Unknown errors stay recognisable: the customer-code facility of Win32
    // errors (FACILITY_WIN32 as an NTSTATUS, 0xC007xxxx).
    return static_cast<vxio::Status>(0xC0070000u | (error & 0xFFFFu));
}

HANDLE ToWin32(vxio::Handle handle) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)); }

// One overlapped request. Owns its OVERLAPPED and event; the handle must
// outlive it, as the buffers must.
class Win32Request final : public vxio::Request {
public:
    explicit Win32Request(HANDLE file) : file_(file)
    {
        overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Win32Request() override
    {
        if (!done_ && issued_)
            Wait();
        if (overlapped_.hEvent != nullptr)
            CloseHandle(overlapped_.hEvent);
    }
    Win32Request(const Win32Request &) = delete;
    Win32Request &operator=(const Win32Request &) = delete;

    OVERLAPPED *Overlapped() { return &overlapped_; }
    bool HasEvent() const { return overlapped_.hEvent != nullptr; }

    // Records how the issuing call returned.
    void Issued(BOOL ok, DWORD error)
    {
        issued_ = true;
        if (ok || error == ERROR_IO_PENDING)
            return;  // the OVERLAPPED will carry the outcome
        // Refused before or by the driver without touching the OVERLAPPED.
        Finish(LastStatus(error), 0);
    }
    void Refuse(vxio::Status status) { Finish(status, 0); }

    // Refused before it was issued (no event could be made).
    bool Refused() const { return done_ && !issued_; }
    bool Done() const override { return done_ || (issued_ && HasOverlappedIoCompleted(&overlapped_)); }
    vxio::Status Wait() override
    {
        if (done_)
            return status_;
        DWORD transferred = 0;
        const BOOL ok = GetOverlappedResult(file_, &overlapped_, &transferred, TRUE);
        // Internal is the request's IO_STATUS_BLOCK.Status: the driver's
        // NTSTATUS, exact, where the Win32 error would lose it.
        vxio::Status status = static_cast<vxio::Status>(overlapped_.Internal);
        if (status == static_cast<vxio::Status>(STATUS_PENDING) || (!ok && status >= 0))
            status = ok ? 0 : LastStatus(GetLastError());
        Finish(status, transferred);
        return status_;
    }
    vxio::Status Result() const override { return done_ ? status_ : vxio::kPending; }
    uint64_t Information() const override { return information_; }
    void Cancel() override
    {
        if (!done_)
            CancelIoEx(file_, &overlapped_);
    }

private:
    void Finish(vxio::Status status, uint64_t information)
    {
        status_ = status;
        information_ = information;
        done_ = true;
    }
    HANDLE file_;
    OVERLAPPED overlapped_{};
    bool issued_ = false;
    bool done_ = false;
    vxio::Status status_ = vxio::kPending;
    uint64_t information_ = 0;
};

std::shared_ptr<Win32Request> NewRequest(vxio::Handle handle)
{
    auto request = std::make_shared<Win32Request>(ToWin32(handle));
    if (!request->HasEvent())
        request->Refuse(LastStatus(GetLastError()));
    return request;
}

}  // namespace

std::vector<std::u16string> Win32Io::Interfaces(const vxio::InterfaceClass &Class)
{
    GUID guid;
    guid.Data1 = Class.Data1;
    guid.Data2 = Class.Data2;
    guid.Data3 = Class.Data3;
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = Class.Data4[i];

    std::vector<std::u16string> links;
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return links;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data); ++index) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        // The detail record is variable-sized; keep it suitably aligned.
        std::vector<DWORD> storage((needed + sizeof(DWORD) - 1) / sizeof(DWORD));
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr))
            continue;
        const wchar_t *path = detail->DevicePath;
        std::u16string link;
        for (; *path != L'\0'; ++path)
            link += static_cast<char16_t>(*path);
        links.push_back(std::move(link));
    }
    SetupDiDestroyDeviceInfoList(set);
    return links;
}

vxio::Status Win32Io::Open(std::u16string_view LinkName, std::u16string_view FileName, vxio::Handle *Result)
{
    *Result = vxio::kInvalidHandle;
    std::wstring path(LinkName.begin(), LinkName.end());
    if (!FileName.empty()) {
        path += L'\\';
        path.append(FileName.begin(), FileName.end());
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastStatus(GetLastError());
    *Result = static_cast<vxio::Handle>(reinterpret_cast<uintptr_t>(file));
    return vxio::kSuccess;
}

vxio::Status Win32Io::Close(vxio::Handle Handle)
{
    return CloseHandle(ToWin32(Handle)) ? vxio::kSuccess : LastStatus(GetLastError());
}

std::shared_ptr<vxio::Request> Win32Io::Read(vxio::Handle Handle, void *Buffer, uint32_t Length)
{
    auto request = NewRequest(Handle);
    if (request->Refused())
        return request;
    const BOOL ok = ReadFile(ToWin32(Handle), Buffer, Length, nullptr, request->Overlapped());
    request->Issued(ok, ok ? ERROR_SUCCESS : GetLastError());
    return request;
}

std::shared_ptr<vxio::Request> Win32Io::Write(vxio::Handle Handle, const void *Buffer, uint32_t Length)
{
    auto request = NewRequest(Handle);
    if (request->Refused())
        return request;
    const BOOL ok = WriteFile(ToWin32(Handle), Buffer, Length, nullptr, request->Overlapped());
    request->Issued(ok, ok ? ERROR_SUCCESS : GetLastError());
    return request;
}

std::shared_ptr<vxio::Request> Win32Io::Control(vxio::Handle Handle, uint32_t Code, const void *Input,
                                                uint32_t InputLength, void *Output, uint32_t OutputLength)
{
    auto request = NewRequest(Handle);
    if (request->Refused())
        return request;
    const BOOL ok = DeviceIoControl(ToWin32(Handle), Code, const_cast<void *>(Input), InputLength, Output,
                                    OutputLength, nullptr, request->Overlapped());
    request->Issued(ok, ok ? ERROR_SUCCESS : GetLastError());
    return request;
}

vxio::Status Win32Io::CancelIo(vxio::Handle Handle)
{
    if (CancelIoEx(ToWin32(Handle), nullptr))
        return vxio::kSuccess;
    const DWORD error = GetLastError();
    // Nothing pending is not a failure of the cancel.
    return error == ERROR_NOT_FOUND ? vxio::kSuccess : LastStatus(error);
}

}  // namespace vxctl
