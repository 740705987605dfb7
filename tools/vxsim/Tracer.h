// `vxsim --trace`: every IRP that reaches a device of the driver under test,
// every IRP the driver sends or passes down to the device below it, and the
// completion of each, one line apiece with the machine's time. IRPs are
// numbered in the order they are first seen, so that a run with the same
// seed prints the same trace.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <mutex>
#include <string>

#include "sim/kernel/Machine.h"

namespace vx {

class Tracer : public sim::IrpObserver {
public:
    Tracer(std::ostream &out, sim::Machine &machine, PDRIVER_OBJECT driver);

    void OnCallDriver(PDEVICE_OBJECT target, PIRP irp, sim::CallPath path) override;
    void OnComplete(PDEVICE_OBJECT completer, PIRP irp, NTSTATUS status) override;

    // "READ", "PNP START_DEVICE", "DEVICE_CONTROL IOCTL_RESET_PIPE", ...
    static std::string Describe(PIO_STACK_LOCATION stack);

private:
    struct Seen {
        uint64_t id;
        std::string what;
        // Completed below the driver: the driver may still complete it
        // again (after its completion routine kept it), or free it, and the
        // address then belongs to the next IRP that uses it.
        bool completedBelow = false;
    };
    void Line(const std::string &text);

    std::ostream &out_;
    sim::Machine &machine_;
    PDRIVER_OBJECT driver_;
    std::mutex mutex_;
    uint64_t next_ = 1;
    std::map<PIRP, Seen> irps_;  // from their first call on
};

}  // namespace vx
