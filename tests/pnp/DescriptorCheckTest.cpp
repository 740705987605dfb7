// The configuration descriptor checks, over hand-built and annotated byte
// strings, every real device's descriptor, and random damage to them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "pnp/DescriptorCheck.h"

namespace {

using DescriptorCheck::ConfigurationHeader;
using DescriptorCheck::Verdict;
using Bytes = std::vector<uint8_t>;

// Pieces of a configuration; Assemble fixes up wTotalLength.
Bytes ConfigurationHeaderBytes(uint8_t numInterfaces, uint8_t attributes = 0x80)
{
    return {9, 0x02, 0, 0, numInterfaces, 1, 0, attributes, 50};
}
Bytes Interface(uint8_t number, uint8_t alternate, uint8_t endpoints)
{
    return {9, 0x04, number, alternate, endpoints, 0xFF, 0, 0, 0};
}
Bytes Endpoint(uint8_t address)
{
    return {7, 0x05, address, 0x02, 0x40, 0x00, 0};
}
Bytes Assemble(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    all[2] = static_cast<uint8_t>(all.size() & 0xFF);
    all[3] = static_cast<uint8_t>(all.size() >> 8);
    return all;
}

Verdict CheckWhole(const Bytes &bytes)
{
    ConfigurationHeader header{};
    return DescriptorCheck::CheckConfiguration(bytes.data(), static_cast<unsigned>(bytes.size()),
                                               static_cast<unsigned>(bytes.size()), &header);
}

struct WholeCase {
    const char *What;
    Bytes Descriptor;
    Verdict Expected;
};

TEST(DescriptorCheck, FullDescriptorVerdicts)
{
    const Bytes oneBulkPair = Assemble(
        {ConfigurationHeaderBytes(1), Interface(0, 0, 2), Endpoint(0x81), Endpoint(0x02)});

    Bytes zeroLength = oneBulkPair;
    zeroLength[9 + 9] = 0;  // first endpoint's bLength: a walk that trusts it never advances
    Bytes pastEnd = oneBulkPair;
    pastEnd[pastEnd.size() - 7] = 8;  // last endpoint claims one byte more than is left
    Bytes trailingByte = Assemble({ConfigurationHeaderBytes(1), Interface(0, 0, 0), Bytes{1}});
    Bytes shortInterface = Assemble({ConfigurationHeaderBytes(1), Bytes{7, 0x04, 0, 0, 0, 0, 0}});
    Bytes shortEndpoint =
        Assemble({ConfigurationHeaderBytes(1), Interface(0, 0, 1), Bytes{6, 0x05, 0x81, 2, 64, 0}});
    Bytes headerTypeWrong = oneBulkPair;
    headerTypeWrong[1] = 0x07;  // other-speed configuration
    Bytes headerShort = oneBulkPair;
    headerShort[0] = 8;
    Bytes totalBelowHeader = oneBulkPair;
    totalBelowHeader[2] = 8;
    totalBelowHeader[3] = 0;

    const WholeCase cases[] = {
        {"one interface, two endpoints", oneBulkPair, Verdict::Valid},
        {"interface without endpoints",
         Assemble({ConfigurationHeaderBytes(1), Interface(0, 0, 0)}), Verdict::Valid},
        {"interface numbers 0 and 2",
         Assemble({ConfigurationHeaderBytes(2), Interface(0, 0, 0), Interface(2, 0, 0)}),
         Verdict::Valid},
        {"only interface is number 255",
         Assemble({ConfigurationHeaderBytes(1), Interface(255, 0, 1), Endpoint(0x81)}),
         Verdict::Valid},
        {"alternate settings and class-specific descriptors in between",
         Assemble({ConfigurationHeaderBytes(2), Bytes{8, 0x0B, 0, 2, 2, 2, 0, 0},
                   Interface(0, 0, 1), Bytes{5, 0x24, 0, 0x10, 1}, Endpoint(0x83),
                   Interface(1, 0, 0), Interface(1, 1, 2), Endpoint(0x81),
                   Bytes{7, 0x25, 1, 0, 0, 0, 0}, Endpoint(0x02)}),
         Verdict::Valid},
        {"bNumInterfaces 0", Assemble({ConfigurationHeaderBytes(0), Interface(0, 0, 0)}),
         Verdict::NoInterfaces},
        {"header bLength 8", headerShort, Verdict::BadHeader},
        {"header type not CONFIGURATION", headerTypeWrong, Verdict::BadHeader},
        {"wTotalLength below the header", totalBelowHeader, Verdict::TotalLengthTooSmall},
        {"zero bLength", zeroLength, Verdict::BadDescriptorLength},
        {"bLength runs past the end", pastEnd, Verdict::BadDescriptorLength},
        {"one stray byte at the end", trailingByte, Verdict::BadDescriptorLength},
        {"interface descriptor of 7 bytes", shortInterface, Verdict::ShortInterfaceOrEndpoint},
        {"endpoint descriptor of 6 bytes", shortEndpoint, Verdict::ShortInterfaceOrEndpoint},
        {"interface announces 2 endpoints, next interface follows after 1",
         Assemble({ConfigurationHeaderBytes(2), Interface(0, 0, 2), Endpoint(0x81),
                   Interface(1, 0, 0)}),
         Verdict::MissingEndpoints},
        {"last interface announces an endpoint that is not there",
         Assemble({ConfigurationHeaderBytes(1), Interface(0, 0, 1)}), Verdict::MissingEndpoints},
        {"announces 2 interfaces, the second only at alternate setting 1",
         Assemble({ConfigurationHeaderBytes(2), Interface(0, 0, 0), Interface(1, 1, 0)}),
         Verdict::MissingInterfaces},
        {"announces 2 interfaces, holds interface 0 twice",
         Assemble({ConfigurationHeaderBytes(2), Interface(0, 0, 0), Interface(0, 0, 0)}),
         Verdict::MissingInterfaces},
    };
    for (const WholeCase &c : cases) {
        EXPECT_EQ(CheckWhole(c.Descriptor), c.Expected) << c.What;
    }
}

TEST(DescriptorCheck, HeaderReadVerdicts)
{
    // bLength 9, CONFIGURATION, wTotalLength 0x0020, 1 interface,
    // bConfigurationValue 1, iConfiguration 0, bmAttributes 0xA0, 100 mA.
    const uint8_t header[9] = {0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x32};
    ConfigurationHeader parsed{};
    ASSERT_EQ(DescriptorCheck::CheckHeader(header, 9, 9, &parsed), Verdict::Valid);
    EXPECT_EQ(parsed.TotalLength, 0x20u);
    EXPECT_EQ(parsed.NumInterfaces, 1u);
    EXPECT_TRUE(DescriptorCheck::RemoteWakeup(parsed));

    struct {
        const char *What;
        unsigned Transferred;
        unsigned PatchOffset;
        uint8_t PatchValue;
        Verdict Expected;
    } const cases[] = {
        {"fewer bytes than asked", 8, 0, 0x09, Verdict::ShortTransfer},
        {"nothing transferred", 0, 0, 0x09, Verdict::ShortTransfer},
        {"more bytes than asked", 10, 0, 0x09, Verdict::ShortTransfer},
        {"wTotalLength 0", 9, 2, 0x00, Verdict::TotalLengthTooSmall},
        {"wTotalLength 8 with bLength 9", 9, 2, 0x08, Verdict::TotalLengthTooSmall},
        {"bNumInterfaces 0", 9, 4, 0x00, Verdict::NoInterfaces},
        {"bLength 0", 9, 0, 0x00, Verdict::BadHeader},
        {"device descriptor type", 9, 1, 0x01, Verdict::BadHeader},
    };
    for (const auto &c : cases) {
        uint8_t bytes[9];
        std::copy(std::begin(header), std::end(header), bytes);
        bytes[c.PatchOffset] = c.PatchValue;
        EXPECT_EQ(DescriptorCheck::CheckHeader(bytes, 9, c.Transferred, &parsed), c.Expected)
            << c.What;
    }

    parsed.Attributes = 0x80;
    EXPECT_FALSE(DescriptorCheck::RemoteWakeup(parsed));
}

TEST(DescriptorCheck, SecondReadMustMatchTheFirst)
{
    const Bytes whole = Assemble({ConfigurationHeaderBytes(1), Interface(0, 0, 0)});
    ConfigurationHeader header{};
    const unsigned size = static_cast<unsigned>(whole.size());
    EXPECT_EQ(DescriptorCheck::CheckConfiguration(whole.data(), size, size - 1, &header),
              Verdict::ShortTransfer);
    Bytes grown = whole;
    grown[2] = static_cast<uint8_t>(size + 9);  // now claims more than the buffer holds
    EXPECT_EQ(DescriptorCheck::CheckConfiguration(grown.data(), size, size, &header),
              Verdict::TotalLengthChanged);
    Bytes shrunk = whole;
    shrunk[2] = 9;  // claims only the header
    EXPECT_EQ(DescriptorCheck::CheckConfiguration(shrunk.data(), size, size, &header),
              Verdict::TotalLengthChanged);
}

std::vector<std::pair<std::string, Bytes>> RealConfigurations()
{
    std::vector<std::pair<std::string, Bytes>> all;
    for (const auto &entry : std::filesystem::directory_iterator(VEXTORA_DEVICES_DIR)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        std::ifstream file(entry.path());
        const auto json = nlohmann::json::parse(file);
        const std::string hex = json.at("configuration").get<std::string>();
        Bytes bytes;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
        all.emplace_back(entry.path().filename().string(), bytes);
    }
    return all;
}

TEST(DescriptorCheck, EveryRealDeviceIsAccepted)
{
    const auto devices = RealConfigurations();
    ASSERT_GE(devices.size(), 10u);
    for (const auto &[name, bytes] : devices) {
        ConfigurationHeader header{};
        const unsigned size = static_cast<unsigned>(bytes.size());
        ASSERT_EQ(DescriptorCheck::CheckHeader(bytes.data(), 9, 9, &header), Verdict::Valid)
            << name;
        ASSERT_EQ(header.TotalLength, size) << name;
        EXPECT_EQ(DescriptorCheck::CheckConfiguration(bytes.data(), size, size, &header),
                  Verdict::Valid)
            << name;
    }
}

// Random damage to real descriptors, each checked in a buffer of exactly its
// size so AddressSanitizer catches any read past the end. What is accepted
// must be walkable from start to end by bLength.
TEST(DescriptorCheck, RandomDamageIsRefusedOrWalkable)
{
    std::mt19937 random(20261209);
    const auto devices = RealConfigurations();
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes = devices[random() % devices.size()].second;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            switch (random() % 3) {
            case 0:
                bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
                break;
            case 1:
                if (bytes.size() > 1) {
                    bytes.resize(1 + random() % bytes.size());
                }
                break;
            default:
                bytes.push_back(static_cast<uint8_t>(random()));
                break;
            }
        }
        const unsigned size = static_cast<unsigned>(bytes.size());
        std::unique_ptr<uint8_t[]> exact(new uint8_t[size]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        ConfigurationHeader header{};
        const unsigned transferred = size;
        if (DescriptorCheck::CheckConfiguration(exact.get(), size, transferred, &header) !=
            Verdict::Valid) {
            continue;
        }
        ASSERT_GT(header.NumInterfaces, 0u) << "seed 20261209 round " << round;
        unsigned offset = 0;
        while (offset < size) {
            ASSERT_GE(exact[offset], 2) << "round " << round;
            offset += exact[offset];
        }
        ASSERT_EQ(offset, size) << "round " << round;
    }
}

}  // namespace
