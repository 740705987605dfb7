// The simulated I/O manager's application side: vxio::DeviceIo over the
// machine's device interfaces and device stacks. Each call builds the IRP
// Windows would build (create with a FILE_OBJECT, cleanup and close, direct
// I/O reads and writes over the caller's own pages, METHOD_BUFFERED device
// control through a pool system buffer) and sends it to the top of the
// device's stack in the calling thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/kernel/AdaptiveMutex.h"
#include "sim/kernel/IoManagerApi.h"
#include "sim/kernel/Machine.h"
#include "sim/kernel/ManagerThread.h"

namespace sim {

namespace checks {
// An application's request was never completed by the time the machine
// went away.
inline constexpr std::string_view ApplicationIrpNotCompleted = "ApplicationIrpNotCompleted";
}  // namespace checks

// vxio's GUID and the platform's are the same 16 bytes.
vxio::InterfaceClass ToInterfaceClass(const GUID &Guid);

class IoManager : public vxio::DeviceIo {
public:
    explicit IoManager(Machine &machine);
    ~IoManager() override;

    // vxio::DeviceIo. Call from a bound thread at PASSIVE_LEVEL; the
    // driver's dispatch routines run in that thread. Open refuses with
    // STATUS_OBJECT_NAME_NOT_FOUND a link that does not exist or is
    // disabled, and with STATUS_NO_SUCH_DEVICE (STATUS_DELETE_PENDING once
    // surprise-removed) a device that is not started or is being removed.
    // Requests on an unknown or closed handle complete at once with
    // STATUS_INVALID_HANDLE.
    std::vector<std::u16string> Interfaces(const vxio::InterfaceClass &Class) override;
    vxio::Status Open(std::u16string_view LinkName, std::u16string_view FileName, vxio::Handle *Result) override;
    vxio::Status Close(vxio::Handle Handle) override;
    std::shared_ptr<vxio::Request> Read(vxio::Handle Handle, void *Buffer, uint32_t Length) override;
    std::shared_ptr<vxio::Request> Write(vxio::Handle Handle, const void *Buffer, uint32_t Length) override;
    std::shared_ptr<vxio::Request> Control(vxio::Handle Handle, uint32_t Code, const void *Input, uint32_t InputLength,
                                           void *Output, uint32_t OutputLength) override;
    vxio::Status CancelIo(vxio::Handle Handle) override;

    // Accounting of the IRPs applications issued: every one must complete
    // exactly once (a second completion is the kernel's DoubleCompletion).
    struct Counts {
        uint64_t Issued = 0;
        uint64_t Completed = 0;
    };
    Counts IrpCounts() const;
    uint64_t Outstanding() const;
    // Reports (ApplicationIrpNotCompleted) when requests are outstanding;
    // the machine's teardown does it too. Returns how many there are.
    uint64_t ReportOutstanding();
    // Handles open right now, and the deferred closes not yet sent.
    size_t OpenHandles() const;
    // Waits until every deferred close has been sent.
    void WaitIdle();

    struct Pending;  // one IRP in flight (IoManager.cpp)
    struct HandleRecord;

private:
    std::shared_ptr<vxio::Request> Issue(vxio::Handle Handle, UCHAR Major, void *Buffer, uint32_t Length, uint32_t Code,
                                         const void *Input, uint32_t InputLength);
    NTSTATUS SendSync(PDEVICE_OBJECT Top, UCHAR Major, PFILE_OBJECT File);
    void Completed(Pending &pending);
    void SendClose(const std::shared_ptr<HandleRecord> &record);
    std::shared_ptr<HandleRecord> Find(vxio::Handle Handle) const;

    using HandleMap = std::map<vxio::Handle, std::shared_ptr<HandleRecord>>;
    // Requests issued and completed by the threads of one shard (by thread
    // id); the sums are the counts. A counter of its own per processor's
    // worth of threads, rather than one every request writes.
    struct alignas(64) CountShard {
        std::atomic<uint64_t> Issued{0};
        std::atomic<uint64_t> Completed{0};
    };
    CountShard &MyCounts();
    void PublishHandlesLocked();

    Machine &machine_;
    mutable AdaptiveMutex mutex_;  // handles_, nextHandle_, handleVersions_
    HandleMap handles_;
    // A copy of handles_ for lookups without the lock, republished by every
    // open and close.
    std::atomic<const HandleMap *> published_{nullptr};
    std::vector<std::unique_ptr<const HandleMap>> handleVersions_;
    vxio::Handle nextHandle_ = 1;
    std::array<CountShard, 8> counts_;
    std::unique_ptr<ManagerThread> closer_;
    friend void IoManagerFinal(PIRP, void *);
};

}  // namespace sim
