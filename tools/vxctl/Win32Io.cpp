#include "tools/vxctl/Win32Io.h"

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "io/PipeName.h"
#include "tools/vxctl/Win32Status.h"

namespace vxctl {
namespace {

using RtlGetLastNtStatusFn = LONG(WINAPI *)();
using RtlNtStatusToDosErrorFn = ULONG(WINAPI *)(LONG);

// RtlGetLastNtStatus is an ntdll export from Windows XP on; without it the
// table decides. RtlNtStatusToDosError is there from Windows NT 3.1 on.
template <class Fn> Fn NtdllExport(const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// The NTSTATUS behind the calling thread's last Win32 error. kernel32 keeps
// the status it converted in the thread's environment block; it is used when
// it still agrees with the error, otherwise the table decides.
vxio::Status LastStatus(DWORD error)
{
    static const auto getLast = NtdllExport<RtlGetLastNtStatusFn>("RtlGetLastNtStatus");
    static const auto toDos = NtdllExport<RtlNtStatusToDosErrorFn>("RtlNtStatusToDosError");
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

// Wine's object manager opens no file below a device ("<link>\PIPE01" fails
// before the driver sees it), so the Wine harness's bus (tests/wine) offers
// pipe N of its device as \\.\VxPipeN. Only under Wine, which ntdll gives
// away by exporting wine_get_version; on Windows pipes open by their names.
bool RunningUnderWine()
{
    static const bool wine = NtdllExport<FARPROC>("wine_get_version") != nullptr;
    return wine;
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
    // CancelIo, which Windows 2000 has, cancels every request the calling
    // thread issued on the handle, not this one alone (CancelIoEx, which
    // picks one, came with Vista). vxctl issues and cancels on one thread.
    void Cancel() override
    {
        if (!done_)
            ::CancelIo(file_);
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
        const PipeNameIndex pipe = PipeIndexFromName(FileName.data(), static_cast<unsigned int>(FileName.size()));
        if (RunningUnderWine() && pipe.Found) {
            path = L"\\\\.\\VxPipe";
            const std::string digits = std::to_string(pipe.Value);
            path.append(digits.begin(), digits.end());
        } else {
            // The file name as the application writes it after the link:
            // "\PIPE01" as it is, "PIPE01" with the separator it lacks.
            if (FileName.front() != u'\\')
                path += L'\\';
            path.append(FileName.begin(), FileName.end());
        }
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
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
    const BOOL ok = DeviceIoControl(ToWin32(Handle), Code, const_cast<void *>(Input), InputLength, Output, OutputLength,
                                    nullptr, request->Overlapped());
    request->Issued(ok, ok ? ERROR_SUCCESS : GetLastError());
    return request;
}

vxio::Status Win32Io::CancelIo(vxio::Handle Handle)
{
    // Succeeds with nothing pending too.
    return ::CancelIo(ToWin32(Handle)) ? vxio::kSuccess : LastStatus(GetLastError());
}

uint32_t Win32ErrorOf(vxio::Status status)
{
    static const auto toDos = NtdllExport<RtlNtStatusToDosErrorFn>("RtlNtStatusToDosError");
    if (toDos != nullptr)
        return toDos(status);
    if (auto error = Win32ErrorFromStatus(status))
        return *error;
    if ((static_cast<uint32_t>(status) & 0xFFFF0000u) == 0xC0070000u)
        return static_cast<uint32_t>(status) & 0xFFFFu;
    return ERROR_MR_MID_NOT_FOUND;  // what the system answers for a status it cannot map
}

std::string Win32FailureText(vxio::Status status)
{
    const uint32_t error = Win32ErrorOf(status);
    std::string text = "Win32 error " + std::to_string(error);
    wchar_t *message = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t *>(&message), 0, nullptr);
    if (length != 0 && message != nullptr) {
        const int bytes =
            WideCharToMultiByte(CP_UTF8, 0, message, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        std::string utf8(bytes > 0 ? static_cast<size_t>(bytes) : 0, '\0');
        if (bytes > 0)
            WideCharToMultiByte(CP_UTF8, 0, message, static_cast<int>(length), utf8.data(), bytes, nullptr, nullptr);
        while (!utf8.empty() && (utf8.back() == '\n' || utf8.back() == '\r' || utf8.back() == ' '))
            utf8.pop_back();
        if (!utf8.empty())
            text += ": " + utf8;
    }
    if (message != nullptr)
        LocalFree(message);
    return text;
}

}  // namespace vxctl
