#include "tests/support/TestRig.h"

#include <gtest/gtest.h>

namespace vxtest {

TestRig::TestRig(vx::RigOptions options, vx::Removal removal)
    : vx::MachineRig(options), removal_(removal)
{
}

TestRig::~TestRig()
{
    ExpectClean();
}

vxio::Status TestRig::Open(std::u16string_view name, vxio::Handle *handle)
{
    const vxio::Status status = Io().Open(Link(), name, handle);
    if (vxio::Succeeded(status))
        Keep(*handle);
    return status;
}

bool TestRig::WaitUntil(const std::function<bool()> &condition, std::chrono::nanoseconds limit,
                        std::chrono::nanoseconds step)
{
    for (std::chrono::nanoseconds waited{0}; waited < limit; waited += step) {
        if (condition())
            return true;
        Machine().Sleep(step);
    }
    return condition();
}

std::string TestRig::Teardown()
{
    if (!tornDown_) {
        tornDown_ = true;
        findings_ = Finish(removal_);
        if (!findings_.empty())
            findings_ += "\n(seed " + std::to_string(Machine().Seed()) + ")";
    }
    return findings_;
}

void TestRig::ExpectClean()
{
    const bool first = !tornDown_;
    const std::string findings = Teardown();
    if (first && !findings.empty())
        ADD_FAILURE() << findings;
}

}  // namespace vxtest
