// vxwine.exe: the Wine harness's device installer and bus remote, a Win32
// console program. It does what an administrator does on Windows with the
// Device Manager or devcon: create a root-enumerated device and install its
// driver from an INF, stage an INF for devices that appear later, remove a
// device; and it unplugs and replugs the loopback device on vxbus.sys.
//
//   vxwine install-root INF HWID   create ROOT device with hardware ID HWID,
//                                  install INF's driver on it
//   vxwine stage INF               copy INF into the INF directory (oemN.inf)
//   vxwine update INF HWID         install INF's driver on present HWID devices
//   vxwine remove HWID             remove every device with hardware ID HWID
//   vxwine bus plug|unplug|state   drive vxbus.sys through its interface
//   vxwine bus unload              after the child's removal: unload the
//                                  function driver that was above it
//
// Exit codes: 0 done, 1 failed (the Win32 error is printed; for unload, also
// when device objects were left or the unload did not succeed), 2 usage.
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/wine/busdriver/VxBusControl.h"

namespace {

int Fail(const char *what)
{
    const DWORD error = GetLastError();
    std::fprintf(stderr, "vxwine: %s failed, error %lu (0x%08lX)\n", what, error, error);
    return 1;
}

std::wstring Wide(const char *text)
{
    std::wstring out;
    for (; *text != '\0'; ++text)
        out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return out;
}

std::wstring FullPath(const char *path)
{
    std::wstring wide = Wide(path);
    wchar_t full[MAX_PATH];
    const DWORD n = GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(full) : wide;
}

// The class an INF installs into, from its [Version] section.
bool InfClass(const std::wstring &inf, GUID *guid, std::wstring *name)
{
    wchar_t className[MAX_CLASS_NAME];
    if (!SetupDiGetINFClassW(inf.c_str(), guid, className, MAX_CLASS_NAME, nullptr))
        return false;
    *name = className;
    return true;
}

int InstallRoot(const char *infPath, const char *hardwareId)
{
    const std::wstring inf = FullPath(infPath);
    GUID classGuid;
    std::wstring className;
    if (!InfClass(inf, &classGuid, &className))
        return Fail("reading the INF's class");
    HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return Fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiCreateDeviceInfoW(set, className.c_str(), &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device)) {
        SetupDiDestroyDeviceInfoList(set);
        return Fail("SetupDiCreateDeviceInfo");
    }
    // REG_MULTI_SZ: the ID, then an empty string.
    std::wstring ids = Wide(hardwareId);
    ids.push_back(L'\0');
    ids.push_back(L'\0');
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(ids.data()),
                                           static_cast<DWORD>(ids.size() * sizeof(wchar_t)))) {
        SetupDiDestroyDeviceInfoList(set);
        return Fail("setting the hardware ID");
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        SetupDiDestroyDeviceInfoList(set);
        return Fail("registering the device");
    }
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    const std::wstring id = Wide(hardwareId);
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, id.c_str(), inf.c_str(), INSTALLFLAG_FORCE, &reboot))
        return Fail("installing the driver (UpdateDriverForPlugAndPlayDevices)");
    std::printf("installed %s on a new root device\n", hardwareId);
    return 0;
}

int Stage(const char *infPath)
{
    const std::wstring inf = FullPath(infPath);
    wchar_t destination[MAX_PATH];
    if (!SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, destination, MAX_PATH, nullptr, nullptr))
        return Fail("SetupCopyOEMInf");
    std::printf("staged as %ls\n", destination);
    return 0;
}

int Update(const char *infPath, const char *hardwareId)
{
    const std::wstring inf = FullPath(infPath);
    const std::wstring id = Wide(hardwareId);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, id.c_str(), inf.c_str(), INSTALLFLAG_FORCE, &reboot))
        return Fail("UpdateDriverForPlugAndPlayDevices");
    std::printf("installed %s\n", hardwareId);
    return 0;
}

// True when the device's hardware IDs include `id` (case-insensitive).
bool HasHardwareId(HDEVINFO set, SP_DEVINFO_DATA *device, const std::wstring &id)
{
    DWORD type = 0;
    DWORD needed = 0;
    SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, &type, nullptr, 0, &needed);
    if (needed == 0)
        return false;
    std::vector<wchar_t> ids(needed / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE *>(ids.data()),
                                           needed, nullptr))
        return false;
    for (const wchar_t *p = ids.data(); *p != L'\0'; p += std::wcslen(p) + 1)
        if (_wcsicmp(p, id.c_str()) == 0)
            return true;
    return false;
}

int Remove(const char *hardwareId)
{
    const std::wstring id = Wide(hardwareId);
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return Fail("SetupDiGetClassDevs");
    int removed = 0;
    int exit = 0;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        if (!HasHardwareId(set, &device, id))
            continue;
        if (SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
            ++removed;
        else
            exit = Fail("removing a device (DIF_REMOVE)");
    }
    SetupDiDestroyDeviceInfoList(set);
    std::printf("removed %d device(s) with hardware ID %s\n", removed, hardwareId);
    if (removed == 0 && exit == 0) {
        std::fprintf(stderr, "vxwine: no device has hardware ID %s\n", hardwareId);
        return 1;
    }
    return exit;
}

int Bus(const char *verb)
{
    DWORD code = 0;
    if (std::strcmp(verb, "plug") == 0)
        code = IOCTL_VXBUS_PLUG;
    else if (std::strcmp(verb, "unplug") == 0)
        code = IOCTL_VXBUS_UNPLUG;
    else if (std::strcmp(verb, "state") == 0)
        code = IOCTL_VXBUS_STATE;
    else if (std::strcmp(verb, "unload") == 0)
        code = IOCTL_VXBUS_UNLOAD;
    else {
        std::fprintf(stderr, "vxwine: bus plug|unplug|state|unload, not '%s'\n", verb);
        return 2;
    }
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_VXBUS, nullptr, nullptr,
                                        DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return Fail("SetupDiGetClassDevs");
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    std::wstring path;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_VXBUS, 0, &data)) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
        std::vector<DWORD> storage(needed / sizeof(DWORD) + 1);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr))
            path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (path.empty()) {
        std::fprintf(stderr, "vxwine: vxbus.sys is not running (no bus interface)\n");
        return 1;
    }
    HANDLE bus = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (bus == INVALID_HANDLE_VALUE)
        return Fail("opening the bus");
    VXBUS_STATE state{};
    VXBUS_UNLOAD unload{};
    void *output = code == IOCTL_VXBUS_STATE ? static_cast<void *>(&state)
                   : code == IOCTL_VXBUS_UNLOAD ? static_cast<void *>(&unload)
                                                : nullptr;
    const DWORD outputSize = code == IOCTL_VXBUS_STATE ? sizeof state : code == IOCTL_VXBUS_UNLOAD ? sizeof unload : 0;
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(bus, code, nullptr, 0, output, outputSize, &returned, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(bus);
    if (!ok) {
        SetLastError(error);
        return Fail(verb);
    }
    if (code == IOCTL_VXBUS_STATE) {
        std::printf("plugged %lu, child %lu, started %lu, function driver %lu\n", state.Plugged, state.ChildExists,
                    state.ChildStarted, state.ChildAttached);
    } else if (code == IOCTL_VXBUS_UNLOAD) {
        if (!unload.Watched) {
            std::printf("no function driver was seen above the child\n");
            return 1;
        }
        std::printf("function driver: %lu device object(s) left, ZwUnloadDriver 0x%08lX, unload routine %s\n",
                    unload.DeviceObjects, static_cast<unsigned long>(unload.UnloadStatus),
                    unload.UnloadRoutineRan ? "ran" : "did not run");
        return unload.DeviceObjects == 0 && unload.UnloadStatus == 0 && unload.UnloadRoutineRan ? 0 : 1;
    } else
        std::printf("bus %s: done\n", verb);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "install-root") == 0)
        return InstallRoot(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "stage") == 0)
        return Stage(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "update") == 0)
        return Update(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "remove") == 0)
        return Remove(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "bus") == 0)
        return Bus(argv[2]);
    std::fprintf(stderr,
                 "usage: vxwine install-root INF HWID | stage INF | update INF HWID | remove HWID |"
                 " bus plug|unplug|state|unload\n");
    return 2;
}
