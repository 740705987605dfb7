// The tests' machine: MachineRig with the teardown every test shares. At the
// end it closes what the test left open, takes the devices away, unloads the
// driver and checks that nothing was left behind and the verifier had nothing
// to say; when it had, the report ends with the random seed to rerun with.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "sim/rig/MachineRig.h"

namespace vxtest {

class TestRig : public vx::MachineRig {
public:
    // `removal` is how the teardown takes away a device the driver still
    // holds (see vx::Removal).
    explicit TestRig(vx::RigOptions options = {}, vx::Removal removal = vx::Removal::Disable);
    // Tears down when the test has not; a finding fails the running test.
    ~TestRig();

    // Opens `name` (empty: the device) under Link(); the teardown closes the
    // handle when the test has not.
    vxio::Status Open(std::u16string_view name, vxio::Handle *handle);

    // Lets virtual time pass in `step`s until `condition` holds or `limit`
    // has passed; the last evaluation's result.
    bool WaitUntil(const std::function<bool()> &condition,
                   std::chrono::nanoseconds limit = std::chrono::seconds(30),
                   std::chrono::nanoseconds step = std::chrono::milliseconds(1));

    // The teardown, once: Finish() with the rig's removal. Returns what it
    // found (failed removals, leaks, verifier reports) and the random seed,
    // or an empty string; a second call returns the same.
    [[nodiscard]] std::string Teardown();
    // Teardown(), failing the running test when it found something.
    void ExpectClean();

private:
    vx::Removal removal_;
    bool tornDown_ = false;
    std::string findings_;
};

}  // namespace vxtest
