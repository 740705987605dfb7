// What the 32-bit vxctl.exe needs from msvcrt.dll beyond Windows 2000's.
// libstdc++'s file streams (std::ifstream, also inside CLI11) call _fstat64,
// which msvcrt.dll exports from Windows XP on, through the import table.
// Defining that import table entry here keeps the import out of the image:
// the entry leads to the system's _fstat64 where there is one and otherwise
// to _fstati64 (there from Windows NT 4), whose 32-bit times are widened.
// x86 builds only: every 64-bit Windows has _fstat64.
#include <windows.h>
#include <sys/stat.h>

#include <cerrno>

namespace {

using Fstat64 = int(__cdecl *)(int, struct _stat64 *);
using Fstati64 = int(__cdecl *)(int, struct _stat32i64 *);

FARPROC MsvcrtExport(const char *name)
{
    HMODULE msvcrt = GetModuleHandleW(L"msvcrt.dll");
    return msvcrt != nullptr ? GetProcAddress(msvcrt, name) : nullptr;
}

int __cdecl Fstat64OnAnySystem(int file, struct _stat64 *out)
{
    static const auto system = reinterpret_cast<Fstat64>(reinterpret_cast<void *>(MsvcrtExport("_fstat64")));
    if (system != nullptr)
        return system(file, out);
    static const auto older = reinterpret_cast<Fstati64>(reinterpret_cast<void *>(MsvcrtExport("_fstati64")));
    if (older == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    struct _stat32i64 st;
    if (older(file, &st) != 0)
        return -1;
    out->st_dev = st.st_dev;
    out->st_ino = st.st_ino;
    out->st_mode = st.st_mode;
    out->st_nlink = st.st_nlink;
    out->st_uid = st.st_uid;
    out->st_gid = st.st_gid;
    out->st_rdev = st.st_rdev;
    out->st_size = st.st_size;
    out->st_atime = st.st_atime;
    out->st_mtime = st.st_mtime;
    out->st_ctime = st.st_ctime;
    return 0;
}

}  // namespace

// The import table entry that libstdc++'s calls go through (its 32-bit
// assembler name).
extern "C" Fstat64 vxctl_fstat64_entry __asm__("__imp___fstat64");
Fstat64 vxctl_fstat64_entry = Fstat64OnAnySystem;
