#include "tests/lowres/FaultSites.h"

#include "platform/Platform.h"
#include "sim/kernel/Machine.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <map>
#include <mutex>

namespace lowres {
namespace {

std::mutex gMutex;
std::vector<FailedSite> gSites;

uint64_t Injected() { return sim::Machine::Current().InjectedFailures(); }

void Note(const void *site, const char *service)
{
    void *frames[6] = {};
    int depth = backtrace(frames, 6);
    FailedSite record{};
    record.Address = site;
    record.Service = service;
    // frames[0] is Note, frames[1] the wrapper, frames[2] the site itself.
    for (int i = 3; i < depth && i < 6; ++i) {
        record.Callers[i - 3] = frames[i];
    }
    std::lock_guard lock(gMutex);
    gSites.push_back(record);
}

}  // namespace

void ClearFailedSites()
{
    std::lock_guard lock(gMutex);
    gSites.clear();
}

std::vector<FailedSite> TakeFailedSites()
{
    std::lock_guard lock(gMutex);
    std::vector<FailedSite> out;
    out.swap(gSites);
    return out;
}

std::string Symbolise(const void *Address)
{
    static std::mutex cacheMutex;
    static std::map<const void *, std::string> cache;
    std::lock_guard lock(cacheMutex);
    if (auto it = cache.find(Address); it != cache.end()) {
        return it->second;
    }
    char fallback[32];
    std::snprintf(fallback, sizeof fallback, "%p", Address);
    std::string text = fallback;
    Dl_info info{};
    if (dladdr(Address, &info) != 0 && info.dli_fname != nullptr) {
        // The return address points after the call; one byte back stays in
        // the calling statement.
        auto offset = reinterpret_cast<uintptr_t>(Address) - reinterpret_cast<uintptr_t>(info.dli_fbase) - 1;
        char command[512];
        std::snprintf(command, sizeof command, "addr2line -C -f -i -e '%s' 0x%llx 2>/dev/null", info.dli_fname,
                      static_cast<unsigned long long>(offset));
        if (FILE *pipe = popen(command, "r")) {
            std::string joined;
            char function[1024];
            char where[1024];
            while (std::fgets(function, sizeof function, pipe) && std::fgets(where, sizeof where, pipe)) {
                std::string f(function);
                std::string w(where);
                f.erase(f.find_last_not_of("\r\n") + 1);
                w.erase(w.find_last_not_of("\r\n") + 1);
                if (auto slash = w.rfind('/'); slash != std::string::npos) {
                    w.erase(0, slash + 1);
                }
                // Drop the parameter list, keeping "(anonymous namespace)::".
                if (!f.empty() && f.back() == ')') {
                    if (auto paren = f.rfind('('); paren != std::string::npos && paren > 0) {
                        f.erase(paren);
                    }
                }
                if (!joined.empty()) {
                    joined += " <- ";
                }
                joined += f + " (" + w + ")";
            }
            pclose(pipe);
            if (!joined.empty() && joined.rfind("??", 0) != 0) {
                text = joined;
            }
        }
    }
    cache.emplace(Address, text);
    return text;
}

std::string Describe(const FailedSite &Site)
{
    // Allocation helpers live in headers (PoolBlock.h, PoolPointer.h); climb
    // out of them to the driver routine that asked.
    std::string text = Symbolise(Site.Address);
    std::string last = text;
    for (const void *caller : Site.Callers) {
        if (caller == nullptr || last.find(".h:") == std::string::npos) {
            break;
        }
        std::string next = Symbolise(caller);
        if (next != last) {
            text += " <- " + next;
        }
        last = next;
    }
    return text;
}

}  // namespace lowres

// The wrappers. A call failed by injection returns its failure value while
// the machine's injected count has moved on.
extern "C" {
PVOID NTAPI __real_ExAllocatePoolWithTag(POOL_TYPE Type, SIZE_T Bytes, ULONG Tag);
PIRP NTAPI __real_IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
PIO_WORKITEM NTAPI __real_IoAllocateWorkItem(PDEVICE_OBJECT Device);
PMDL NTAPI __real_IoAllocateMdl(PVOID Address, ULONG Length, BOOLEAN Secondary, BOOLEAN ChargeQuota, PIRP Irp);
PIRP NTAPI __real_IoBuildDeviceIoControlRequest(ULONG Code, PDEVICE_OBJECT Device, PVOID Input, ULONG InputLength,
                                                PVOID Output, ULONG OutputLength, BOOLEAN Internal,
                                                PKEVENT Event, PIO_STATUS_BLOCK IoStatus);
NTSTATUS NTAPI __real_PoRequestPowerIrp(PDEVICE_OBJECT Device, UCHAR Minor, POWER_STATE State,
                                        PREQUEST_POWER_COMPLETE Completion, PVOID Context, PIRP *Irp);

PVOID NTAPI __wrap_ExAllocatePoolWithTag(POOL_TYPE Type, SIZE_T Bytes, ULONG Tag)
{
    const uint64_t before = lowres::Injected();
    PVOID p = __real_ExAllocatePoolWithTag(Type, Bytes, Tag);
    if (p == nullptr && lowres::Injected() != before) {
        lowres::Note(__builtin_return_address(0), "ExAllocatePoolWithTag");
    }
    return p;
}

PIRP NTAPI __wrap_IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    const uint64_t before = lowres::Injected();
    PIRP p = __real_IoAllocateIrp(StackSize, ChargeQuota);
    if (p == nullptr && lowres::Injected() != before) {
        lowres::Note(__builtin_return_address(0), "IoAllocateIrp");
    }
    return p;
}

PIO_WORKITEM NTAPI __wrap_IoAllocateWorkItem(PDEVICE_OBJECT Device)
{
    const uint64_t before = lowres::Injected();
    PIO_WORKITEM p = __real_IoAllocateWorkItem(Device);
    if (p == nullptr && lowres::Injected() != before) {
        lowres::Note(__builtin_return_address(0), "IoAllocateWorkItem");
    }
    return p;
}

PMDL NTAPI __wrap_IoAllocateMdl(PVOID Address, ULONG Length, BOOLEAN Secondary, BOOLEAN ChargeQuota, PIRP Irp)
{
    const uint64_t before = lowres::Injected();
    PMDL p = __real_IoAllocateMdl(Address, Length, Secondary, ChargeQuota, Irp);
    if (p == nullptr && lowres::Injected() != before) {
        lowres::Note(__builtin_return_address(0), "IoAllocateMdl");
    }
    return p;
}

PIRP NTAPI __wrap_IoBuildDeviceIoControlRequest(ULONG Code, PDEVICE_OBJECT Device, PVOID Input, ULONG InputLength,
                                                PVOID Output, ULONG OutputLength, BOOLEAN Internal,
                                                PKEVENT Event, PIO_STATUS_BLOCK IoStatus)
{
    const uint64_t before = lowres::Injected();
    PIRP p = __real_IoBuildDeviceIoControlRequest(Code, Device, Input, InputLength, Output, OutputLength, Internal,
                                                  Event, IoStatus);
    if (p == nullptr && lowres::Injected() != before) {
        lowres::Note(__builtin_return_address(0), "IoBuildDeviceIoControlRequest");
    }
    return p;
}

NTSTATUS NTAPI __wrap_PoRequestPowerIrp(PDEVICE_OBJECT Device, UCHAR Minor, POWER_STATE State,
                                        PREQUEST_POWER_COMPLETE Completion, PVOID Context, PIRP *Irp)
{
    const uint64_t before = lowres::Injected();
    NTSTATUS status = __real_PoRequestPowerIrp(Device, Minor, State, Completion, Context, Irp);
    if (!NT_SUCCESS(status) && lowres::Injected() != before) {
        lowres::Note(__builtin_return_address(0), "PoRequestPowerIrp");
    }
    return status;
}
}
