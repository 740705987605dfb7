// vxsim and vxctl run a scenario's application steps through one layer: on
// the same device they print the same lines (what the Wine harness compares
// between the simulated driver and the real one).
#include <gtest/gtest.h>

#include <sstream>

#include "sim/usb/Models.h"
#include "tools/common/Scenario.h"
#include "tools/vxctl/Commands.h"
#include "sim/rig/MachineRig.h"
#include "tools/vxsim/Session.h"

namespace {

const char kScenario[] = R"(plug loopback
open dev
open out "\PIPE00"
open in "\PIPE01"
open again "\PIPE01" expect STATUS_ACCESS_DENIED
write out 300 pattern 5
read in 100 verify
read in 200 async as rest
wait rest verify bytes 200
repeat 2
  ioctl dev GET_STRING_DESCRIPTOR 02 00 09 04 out 255 show
end
ioctl dev GET_DEVICE_DESCRIPTOR out 18 show
write out 262145 expect STATUS_INVALID_PARAMETER
read in 64 async as pending
cancel in
wait pending expect STATUS_CANCELLED
close in
close out
close dev
)";

// The application's lines: without vxsim's clock column, the machine's and
// the device's own lines and the summary.
std::string ApplicationLines(const std::string &text)
{
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("[", 0) == 0 && line.find("] ") != std::string::npos)
            line = line.substr(line.find("] ") + 2);
        if (line == "summary")
            break;
        if (line.empty() || line.rfind("machine up", 0) == 0 || line.rfind("plugged ", 0) == 0)
            continue;
        out += line + "\n";
    }
    return out;
}

TEST(FrontEnds, PrintTheSameLinesForTheApplicationsSteps)
{
    auto parsed = vx::ParseScenario(kScenario, "both.vxs");
    ASSERT_FALSE(parsed.error) << parsed.error->message;
    std::ostringstream simulated;
    vx::RunOptions options;
    options.seed = 5;
    ASSERT_TRUE(vx::Session(options, simulated).Run(parsed.steps).passed) << simulated.str();

    std::ostringstream out, err;
    {
        vx::RigOptions rigOptions;
        rigOptions.Machine.Seed = 5;
        vx::MachineRig rig(rigOptions);
        vextora::usb::PortOptions portOptions;
        portOptions.Completion = vextora::usb::CompletionMode::HostController;
        rig.Plug(vextora::usb::MakeModel("loopback", vextora::usb::LoopbackDescriptors()), portOptions);
        vxctl::Commands commands(rig.Io(), out, err);
        EXPECT_EQ(commands.Run(kScenario, "both.vxs"), vxctl::kExitOk) << out.str() << err.str();
        EXPECT_EQ(rig.Finish(), "");
    }
    const std::string vxsim = ApplicationLines(simulated.str());
    EXPECT_NE(vxsim.find("wait rest: STATUS_SUCCESS, 200 bytes read, every byte verified"), std::string::npos)
        << vxsim;
    EXPECT_EQ(ApplicationLines(out.str()), vxsim);
}

} // namespace
