// Device configuration at start: which interfaces are selected, what the
// device record keeps, how malformed or failing devices are refused, and
// the pipe aborts and frees of the teardown paths.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "driver/Driver.h"
#include "pnp/Pnp.h"
#include "support/DriverFixture.h"

namespace {

using vxtest::ConfigurationBytes;
using vxtest::DriverFixture;
using vxtest::EndpointBytes;
using vxtest::InterfaceBytes;
using vxtest::Match;
using vxtest::PortRequest;
using vxtest::SelectedInterfaces;
using vxtest::UrbAnswer;
using Bytes = std::vector<uint8_t>;

// The interfaces of the first SELECT_CONFIGURATION that configures.
std::optional<std::vector<vxtest::SelectedInterface>> SelectRequest(DriverFixture &f)
{
    for (const PortRequest &urb : f.port().Requests(Match::Urb(URB_FUNCTION_SELECT_CONFIGURATION))) {
        if (urb.Urb().UrbSelectConfiguration.ConfigurationDescriptor != nullptr) {
            return SelectedInterfaces(urb);
        }
    }
    return std::nullopt;
}

struct LayoutCase {
    const char *What;
    Bytes Configuration;
    std::vector<std::pair<UCHAR, UCHAR>> Selected;  // (number, alternate), in order
    UCHAR FirstInterface;
    ULONG FirstPipes;
    ULONG RemoteWake;
};

TEST(Configuration, SelectsEveryInterfaceAtAlternateZero)
{
    const LayoutCase cases[] = {
        {"two interfaces with two alternate settings each",
         ConfigurationBytes({InterfaceBytes(0, 0, 1), EndpointBytes(0x81),
                             InterfaceBytes(0, 1, 2), EndpointBytes(0x81), EndpointBytes(0x02),
                             InterfaceBytes(1, 0, 1), EndpointBytes(0x83),
                             InterfaceBytes(1, 1, 0)},
                            2),
         {{0, 0}, {1, 0}}, 0, 1, 0},
        {"interface numbers 0 and 2",
         ConfigurationBytes({InterfaceBytes(0, 0, 0), InterfaceBytes(2, 0, 1), EndpointBytes(0x82)},
                            2),
         {{0, 0}, {2, 0}}, 0, 0, 0},
        {"only interface is number 3",
         ConfigurationBytes({InterfaceBytes(3, 0, 2), EndpointBytes(0x81), EndpointBytes(0x01)}, 1),
         {{3, 0}}, 3, 2, 0},
        {"remote wake-up",
         ConfigurationBytes({InterfaceBytes(0, 0, 1), EndpointBytes(0x81, 0x03, 8)}, 1, 0xA0),
         {{0, 0}}, 0, 1, 1},
    };
    for (const LayoutCase &c : cases) {
        DriverFixture f;
        f.bus().SetDescriptors(vxtest::DeviceDescriptorBytes(), c.Configuration);
        ASSERT_EQ(f.Plug(), STATUS_SUCCESS) << c.What;
        const auto select = SelectRequest(f);
        ASSERT_TRUE(select.has_value()) << c.What;
        ASSERT_EQ((*select).size(), c.Selected.size()) << c.What;
        for (size_t i = 0; i < c.Selected.size(); ++i) {
            EXPECT_EQ((*select)[i].Number, c.Selected[i].first) << c.What;
            EXPECT_EQ((*select)[i].Alternate, c.Selected[i].second) << c.What;
            for (ULONG size : (*select)[i].MaximumTransferSizes) {
                if (i == 0) {
                    EXPECT_EQ(size, PipeMaxTransferSize) << c.What;
                } else {
                    EXPECT_NE(size, PipeMaxTransferSize) << c.What << ": only the first interface";
                }
            }
        }
        DeviceExtension *ext = f.Extension();
        EXPECT_EQ(ext->InterfaceInfo->InterfaceNumber, c.FirstInterface) << c.What;
        EXPECT_EQ(ext->InterfaceInfo->NumberOfPipes, c.FirstPipes) << c.What;
        EXPECT_EQ(ext->PipeOpenCounts == nullptr, c.FirstPipes == 0) << c.What;
        EXPECT_EQ(ext->RemoteWakeSupported, c.RemoteWake) << c.What;
        EXPECT_EQ(ext->ConfigurationDescriptorLength, c.Configuration.size()) << c.What;
        EXPECT_EQ(std::memcmp(ext->ConfigurationDescriptor, c.Configuration.data(),
                              c.Configuration.size()),
                  0)
            << c.What;
        EXPECT_EQ(AbortOpenPipes(f.Fdo()), STATUS_SUCCESS);
    }
}

struct RefusalCase {
    const char *What;
    Bytes Configuration;
    std::function<std::optional<UrbAnswer>(const PortRequest &, size_t)> Fault;
    NTSTATUS Expected;
    bool DescriptorStored;
};

std::function<std::optional<UrbAnswer>(const PortRequest &, size_t)> FailUrb(size_t Which,
                                                                          UrbAnswer Answer)
{
    return [Which, Answer](const PortRequest &, size_t number) -> std::optional<UrbAnswer> {
        if (number == Which) {
            return Answer;
        }
        return std::nullopt;
    };
}

TEST(Configuration, FailingOrMalformedDevicesAreRefused)
{
    const Bytes good = ConfigurationBytes(
        {InterfaceBytes(0, 0, 2), EndpointBytes(0x81), EndpointBytes(0x02)}, 1);
    Bytes grown = good;
    grown[2] = static_cast<uint8_t>(good.size() + 7);
    Bytes zeroLength = good;
    zeroLength[18] = 0;

    const RefusalCase cases[] = {
        {"device descriptor read fails", good, FailUrb(1, UrbAnswer::Failing(STATUS_IO_TIMEOUT)), STATUS_IO_TIMEOUT,
         false},
        {"header read fails", good, FailUrb(2, UrbAnswer::Failing(STATUS_IO_TIMEOUT)), STATUS_IO_TIMEOUT, false},
        {"full read fails", good, FailUrb(3, UrbAnswer::Failing(STATUS_IO_TIMEOUT)), STATUS_IO_TIMEOUT, false},
        {"selection fails", good, FailUrb(4, UrbAnswer::Failing(STATUS_IO_TIMEOUT)), STATUS_IO_TIMEOUT, true},
        {"header read short", good, FailUrb(2, UrbAnswer::Reporting(8)), STATUS_DEVICE_DATA_ERROR,
         false},
        {"full read short", good, FailUrb(3, UrbAnswer::Reporting(31)), STATUS_DEVICE_DATA_ERROR,
         false},
        {"wTotalLength differs between the reads", good,
         FailUrb(3, UrbAnswer::Serving(grown)), STATUS_DEVICE_DATA_ERROR, false},
        {"wTotalLength below 9", ConfigurationBytes({}, 1), nullptr, STATUS_DEVICE_DATA_ERROR,
         false},
        {"bNumInterfaces 0", ConfigurationBytes({InterfaceBytes(0, 0, 0)}, 0), nullptr,
         STATUS_DEVICE_DATA_ERROR, false},
        {"more interfaces announced than held",
         ConfigurationBytes({InterfaceBytes(0, 0, 0), InterfaceBytes(1, 1, 0)}, 2), nullptr,
         STATUS_DEVICE_DATA_ERROR, false},
        {"zero bLength", zeroLength, nullptr, STATUS_DEVICE_DATA_ERROR, false},
    };
    for (const RefusalCase &c : cases) {
        DriverFixture f;
        f.PlugAndStop();
        Bytes configuration = c.Configuration;
        if (std::string(c.What) == "wTotalLength below 9") {
            configuration[2] = 8;  // a header that claims less than itself
        }
        f.bus().SetDescriptors(vxtest::DeviceDescriptorBytes(), configuration);
        f.bus().UrbFault = c.Fault;
        EXPECT_EQ(f.pnp().Start(f.pdo()), c.Expected) << c.What;
        DeviceExtension *ext = f.Extension();
        EXPECT_EQ(ext->DeviceState, Stopped) << c.What;
        EXPECT_EQ(ext->ConfigurationDescriptor != nullptr, c.DescriptorStored) << c.What;
        EXPECT_EQ(ext->InterfaceInfo, nullptr) << c.What;
        EXPECT_EQ(ext->PipeOpenCounts, nullptr) << c.What;
        EXPECT_EQ(ext->OutstandingIo, 1) << c.What;
        if (!c.DescriptorStored) {
            EXPECT_FALSE(SelectRequest(f).has_value()) << c.What;
        }
        f.bus().UrbFault = nullptr;
    }
}

// A descriptor that announces more interfaces than it holds at alternate
// setting 0, handed straight to SelectInterfaces: the search ends after
// interface number 255 and nothing is selected.
TEST(Configuration, InterfaceSearchIsBounded)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    Bytes announced = ConfigurationBytes({InterfaceBytes(0, 0, 0), InterfaceBytes(255, 0, 0)}, 3);
    f.ClearRecords();
    sim::FrameScope frame(sim::FrameKind::Other, f.driver(), f.Fdo());
    EXPECT_EQ(SelectInterfaces(f.Fdo(), reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
                                            announced.data())),
              STATUS_DEVICE_DATA_ERROR);
    Bytes none = ConfigurationBytes({InterfaceBytes(0, 0, 0)}, 0);
    EXPECT_EQ(SelectInterfaces(f.Fdo(),
                               reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(none.data())),
              STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(f.Urbs().empty());
}

// Each allocation of the start fails in turn: the start fails with
// STATUS_INSUFFICIENT_RESOURCES, the records left are a prefix of what the
// full start stores, and the removal frees them all (Finish checks leaks).
TEST(Configuration, EachAllocationFailureOfTheStart)
{
    for (uint64_t n = 1;; ++n) {
        DriverFixture f;
        f.PlugAndStop();

        f.machine().SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::All), n});
        const NTSTATUS status = f.pnp().Start(f.pdo());
        f.machine().SetFaultPlan({});
        if (f.machine().InjectedFailures() == 0) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_GE(n, 9u) << "a start allocates at least 8 blocks and IRPs";
            break;
        }
        DeviceExtension *ext = f.Extension();
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        EXPECT_EQ(ext->DeviceState, Stopped) << "allocation " << n;
        if (ext->ConfigurationDescriptor == nullptr) {
            EXPECT_EQ(ext->InterfaceInfo, nullptr) << "allocation " << n;
            EXPECT_EQ(ext->PipeOpenCounts, nullptr) << "allocation " << n;
        } else if (SelectRequest(f).has_value() && f.Urbs().size() == 4) {
            // Configured at the bus: exactly one of the two tables is missing.
            EXPECT_NE(ext->InterfaceInfo == nullptr, ext->PipeOpenCounts == nullptr)
                << "allocation " << n;
        }
        f.Finish();
        ASSERT_FALSE(::testing::Test::HasFailure()) << "allocation " << n;
    }
}

TEST(Configuration, AbortOpenPipesVisitsOpenPipesInOrder)
{
    DriverFixture f;
    f.bus().SetDescriptors(vxtest::DeviceDescriptorBytes(),
                           ConfigurationBytes({InterfaceBytes(0, 0, 3), EndpointBytes(0x81),
                                               EndpointBytes(0x02), EndpointBytes(0x83, 0x03, 8)},
                                              1));
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    DeviceExtension *ext = f.Extension();
    sim::FrameScope frame(sim::FrameKind::Other, f.driver(), f.Fdo());

    struct {
        LONG Counts[3];
        size_t FailingAbort;  // 1-based among the aborts sent, 0 for none
        std::vector<int> AbortedPipes;
        LONG After[3];
    } const cases[] = {
        {{0, 2, 1}, 0, {1, 2}, {0, 0, 0}},
        {{1, 1, 1}, 2, {0, 1, 2}, {0, 1, 0}},
        {{0, 0, 0}, 0, {}, {0, 0, 0}},
        {{-1, 0, 0}, 0, {}, {-1, 0, 0}},
    };
    for (const auto &c : cases) {
        std::copy(std::begin(c.Counts), std::end(c.Counts), ext->PipeOpenCounts);
        f.ClearRecords();
        f.bus().UrbFault = [&](const PortRequest &, size_t number) -> std::optional<UrbAnswer> {
            if (number == c.FailingAbort) {
                return UrbAnswer::Failing(STATUS_UNSUCCESSFUL);
            }
            return std::nullopt;
        };
        EXPECT_EQ(AbortOpenPipes(f.Fdo()), STATUS_SUCCESS);
        const auto urbs = f.Urbs();
        ASSERT_EQ(urbs.size(), c.AbortedPipes.size());
        for (size_t i = 0; i < urbs.size(); ++i) {
            const _URB_PIPE_REQUEST &abort = urbs[i].Urb().UrbPipeRequest;
            EXPECT_EQ(abort.Hdr.Function, URB_FUNCTION_ABORT_PIPE);
            EXPECT_EQ(abort.Hdr.Length, sizeof(_URB_PIPE_REQUEST));
            EXPECT_EQ(abort.PipeHandle, ext->InterfaceInfo->Pipes[c.AbortedPipes[i]].PipeHandle);
        }
        for (int pipe = 0; pipe < 3; ++pipe) {
            EXPECT_EQ(ext->PipeOpenCounts[pipe], c.After[pipe]) << "pipe " << pipe;
        }
    }
    f.bus().UrbFault = nullptr;

    // The request block is on the stack; only the IRP can be missing.
    ext->PipeOpenCounts[0] = 1;
    f.machine().SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::Irp), 1});
    EXPECT_EQ(AbortOpenPipes(f.Fdo()), STATUS_INSUFFICIENT_RESOURCES);
    f.machine().SetFaultPlan({});
    std::fill(ext->PipeOpenCounts, ext->PipeOpenCounts + 3, 0);
}

TEST(Configuration, ReleaseConfigurationTwiceFreesOnce)
{
    DriverFixture f;
    ASSERT_EQ(f.Plug(), STATUS_SUCCESS);
    DeviceExtension *ext = f.Extension();
    const ULONG generation = ext->ConfigurationGeneration;
    sim::FrameScope frame(sim::FrameKind::Other, f.driver(), f.Fdo());
    ReleaseConfiguration(f.Fdo());
    EXPECT_EQ(ext->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(ext->InterfaceInfo, nullptr);
    EXPECT_EQ(ext->PipeOpenCounts, nullptr);
    EXPECT_EQ(ext->ConfigurationDescriptorLength, 0u);
    EXPECT_NE(ext->ConfigurationGeneration, generation);
    const ULONG released = ext->ConfigurationGeneration;
    ReleaseConfiguration(f.Fdo());
    EXPECT_EQ(ext->ConfigurationGeneration, released);
}

Bytes FromHex(const std::string &hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

TEST(Configuration, EveryRealDeviceStarts)
{
    size_t devices = 0;
    for (const auto &entry : std::filesystem::directory_iterator(VEXTORA_DEVICES_DIR)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        ++devices;
        std::ifstream file(entry.path());
        const auto json = nlohmann::json::parse(file);
        const Bytes device = FromHex(json.at("device").get<std::string>());
        const Bytes configuration = FromHex(json.at("configuration").get<std::string>());
        const std::string name = entry.path().filename().string();

        // The first interface: lowest number with an alternate setting 0.
        int first = 256;
        int firstEndpoints = 0;
        std::vector<int> numbers;
        for (size_t at = 0; at + 1 < configuration.size() && configuration[at] >= 2;
             at += configuration[at]) {
            if (configuration[at + 1] == 0x04 && configuration[at + 3] == 0) {
                numbers.push_back(configuration[at + 2]);
                if (configuration[at + 2] < first) {
                    first = configuration[at + 2];
                    firstEndpoints = configuration[at + 4];
                }
            }
        }
        std::sort(numbers.begin(), numbers.end());

        DriverFixture f;
        f.bus().SetDescriptors(device, configuration);
        ASSERT_EQ(f.Plug(), STATUS_SUCCESS) << name;
        DeviceExtension *ext = f.Extension();
        EXPECT_EQ(ext->InterfaceInfo->InterfaceNumber, first) << name;
        EXPECT_EQ(ext->InterfaceInfo->NumberOfPipes, static_cast<ULONG>(firstEndpoints)) << name;
        EXPECT_EQ(ext->RemoteWakeSupported, (configuration[7] & 0x20) ? 1u : 0u) << name;
        const auto select = SelectRequest(f);
        ASSERT_TRUE(select.has_value()) << name;
        ASSERT_EQ((*select).size(), configuration[4]) << name;
        for (size_t i = 0; i < (*select).size(); ++i) {
            EXPECT_EQ((*select)[i].Number, numbers[i]) << name;
            EXPECT_EQ((*select)[i].Alternate, 0) << name;
        }
        ASSERT_EQ(f.pnp().Rebalance(f.pdo()), STATUS_SUCCESS) << name;
    }
    EXPECT_GE(devices, 10u);
}

}  // namespace
