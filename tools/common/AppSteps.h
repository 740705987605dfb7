// The application's steps of a scenario (open, close, read, write, wait,
// cancel, ioctl, echo), carried out over the tools' application I/O
// interface and printed in the request layer's words. vxsim runs them
// against the simulated machine and vxctl.exe against Windows: the same
// steps print the same lines in both, which the Wine harness compares.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/IoManagerApi.h"
#include "tools/common/Scenario.h"

namespace vx {

// What the front end supplies: the device a step works on, and where the
// lines go.
class AppHost {
public:
    struct Target {
        std::u16string link;  // the device interface to open
        size_t device = 0;    // a key for what was written to that device
    };
    virtual ~AppHost() = default;
    // The device an `open` works on now; throws StepFailure when there is
    // none.
    virtual Target CurrentTarget(const Step &step) = 0;
    // One line of the run's output, and text printed as it is (decoded
    // answers, already one line each).
    virtual void Line(const std::string &text) = 0;
    virtual void Text(const std::string &text) = 0;
    // Appended to the line of a `close` (what the front end saw happen).
    virtual std::string AfterClose(size_t device)
    {
        (void)device;
        return {};
    }
    // Appended to a failed status in a FAILED message: " (...)" with what
    // the platform says of it (vxctl: the Win32 error), or nothing.
    virtual std::string Explained(vxio::Status status)
    {
        (void)status;
        return {};
    }
};

struct AppCounters {
    uint64_t bytesWritten = 0;
    uint64_t bytesRead = 0;
    uint64_t bytesVerified = 0;
    uint64_t requests = 0;
};

class AppSteps {
public:
    AppSteps(vxio::DeviceIo &io, AppHost &host) : io_(io), host_(host) {}
    ~AppSteps();
    AppSteps(const AppSteps &) = delete;
    AppSteps &operator=(const AppSteps &) = delete;

    // Whether the verb is one of the application's steps.
    static bool Handles(const std::string &verb);
    // Carries out one such step; throws StepFailure when it does not hold.
    void Execute(const Step &step);

    // What was written to `device` and not yet read back is gone (the
    // device was configured again, which empties its buffers).
    void ForgetWritten(size_t device) { expected_.erase(device); }

    // The end of a run, in this order: CancelReads asks every read still in
    // flight to end; CloseHandles closes what the scenario left open;
    // FinishReads (once the devices are gone, when the front end removes
    // them) waits for the reads and names those no step waited for.
    void CancelReads();
    void CloseHandles();
    void FinishReads();
    // Whether every read in flight has completed.
    bool ReadsDone() const;

    const AppCounters &Counters() const { return counters_; }

private:
    struct OpenHandle {
        vxio::Handle handle = vxio::kInvalidHandle;
        size_t device = 0;
    };
    struct AsyncRead {
        std::shared_ptr<vxio::Request> request;
        std::vector<uint8_t> buffer;
        size_t device = 0;
    };

    OpenHandle &HandleNamed(const Step &step, const std::string &name);
    void CheckStatus(const Step &step, vxio::Status status, const std::string &what);
    void CheckBytes(const Step &step, uint64_t actual);
    void Verify(const Step &step, size_t device, const std::vector<uint8_t> &data);
    void FinishRead(const Step &step, const std::string &what, vxio::Status status, size_t device,
                    std::vector<uint8_t> &buffer, uint64_t moved);

    void Open(const Step &step);
    void Close(const Step &step);
    void Write(const Step &step);
    void Read(const Step &step);
    void Wait(const Step &step);
    void Cancel(const Step &step);
    void Ioctl(const Step &step);

    vxio::DeviceIo &io_;
    AppHost &host_;
    AppCounters counters_;
    std::map<std::string, OpenHandle> handles_;
    std::map<std::string, AsyncRead> reads_;
    // Per device: what was written to it and not yet read back.
    std::map<size_t, std::deque<uint8_t>> expected_;
};

}  // namespace vx
