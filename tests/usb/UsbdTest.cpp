// The USB driver library: interface search and the select-configuration
// request, over real descriptors and a table of malformed ones. Every buffer
// is exactly as long as the descriptor says, so AddressSanitizer catches any
// read past wTotalLength.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "BusFixture.h"
#include "sim/usb/DeviceDescription.h"

using namespace vextora::usb;
using namespace usbtest;

namespace {

class UsbdTest : public BusFixture {
protected:
    PURB Create(std::vector<uint8_t> &config, std::vector<USBD_INTERFACE_LIST_ENTRY> &list)
    {
        sim::FrameScope frame(sim::FrameKind::Other, driver_);
        return USBD_CreateConfigurationRequestEx(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()),
                                                 list.data());
    }
    void Free(PURB urb)
    {
        sim::FrameScope frame(sim::FrameKind::Other, driver_);
        ExFreePool(urb);
    }
};

std::vector<uint8_t> Config(const std::string &file)
{
    return LoadDeviceDescription(std::filesystem::path(VEXTORA_DEVICES_DIR) / file).Descriptors.Configuration;
}

PUSB_INTERFACE_DESCRIPTOR Parse(std::vector<uint8_t> &c, size_t start, LONG number, LONG alt, LONG cls = -1)
{
    auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.data());
    return USBD_ParseConfigurationDescriptorEx(config, c.data() + start, number, alt, cls, -1, -1);
}

size_t OffsetOf(const std::vector<uint8_t> &c, const void *p)
{
    return p == nullptr ? SIZE_MAX : static_cast<const uint8_t *>(p) - c.data();
}

}  // namespace

TEST_F(UsbdTest, InterfaceSearchFollowsEveryCriterion)
{
    // usbtest: interface 0 alternate 0 (no endpoints) at 9, alternate 1 at 18.
    std::vector<uint8_t> c = Config("tinyusb_usbtest_hs.json");
    struct Row {
        size_t start;
        LONG number, alt, cls;
        size_t offset;
    } rows[] = {
        {0, 0, 0, -1, 9},   {0, 0, 1, -1, 18},      {0, -1, 1, -1, 18}, {18, -1, -1, -1, 18},
        {0, 0, 2, -1, SIZE_MAX}, {0, 1, -1, -1, SIZE_MAX}, {0, -1, -1, 0xff, 9}, {0, -1, -1, 0x03, SIZE_MAX},
        {c.size(), -1, -1, -1, SIZE_MAX},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(OffsetOf(c, Parse(c, r.start, r.number, r.alt, r.cls)), r.offset)
            << r.start << " " << r.number << " " << r.alt << " " << r.cls;
    }
}

TEST_F(UsbdTest, SelectConfigurationRequestHoldsEveryListedInterface)
{
    // CDC + MSC: interfaces 0, 1 (CDC, 1 and 2 endpoints) and 2 (MSC, 2).
    std::vector<uint8_t> c = Config("tinyusb_cdc_msc_fs.json");
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG n = 0; n < 3; n++) {
        list.push_back({Parse(c, 0, n, 0), nullptr});
        ASSERT_NE(list.back().InterfaceDescriptor, nullptr);
    }
    list.push_back({nullptr, nullptr});
    PURB urb = Create(c, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 5));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor,
              reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.data()));
    const ULONG pipes[3] = {1, 2, 2};
    auto *expected = &urb->UrbSelectConfiguration.Interface;
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(list[i].Interface, expected) << i;
        EXPECT_EQ(list[i].Interface->InterfaceNumber, i);
        EXPECT_EQ(list[i].Interface->NumberOfPipes, pipes[i]);
        EXPECT_EQ(list[i].Interface->Length, GET_USBD_INTERFACE_SIZE(pipes[i]));
        EXPECT_EQ(list[i].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        expected = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR *>(expected) +
                                                                 expected->Length);
    }
    EXPECT_EQ(reinterpret_cast<UCHAR *>(expected), reinterpret_cast<UCHAR *>(urb) + urb->UrbHeader.Length);
    Free(urb);
}

TEST_F(UsbdTest, RequestIsRefusedForForeignDescriptorsOrAnEmptyPool)
{
    std::vector<uint8_t> c = Config("fx2lib_bulkloop_hs.json");
    std::vector<uint8_t> other = c;
    std::vector<USBD_INTERFACE_LIST_ENTRY> foreign = {{Parse(other, 0, 0, 0), nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(Create(c, foreign), nullptr);

    std::vector<USBD_INTERFACE_LIST_ENTRY> list = {{Parse(c, 0, 0, 0), nullptr}, {nullptr, nullptr}};
    M().SetFaultPlan({sim::FaultMode::FailNth, static_cast<unsigned>(sim::FaultKind::Pool), 1});
    EXPECT_EQ(Create(c, list), nullptr);
    EXPECT_EQ(list[0].Interface, nullptr);
    M().SetFaultPlan({});
    PURB urb = Create(c, list);
    ASSERT_NE(urb, nullptr);
    Free(urb);
}

TEST_F(UsbdTest, MalformedDescriptorsNeverLeadOutsideTheBuffer)
{
    // A configuration with one interface and two endpoints, then variants.
    const std::vector<uint8_t> good = {9, 2, 32, 0, 1, 1, 0, 0x80, 50,  9, 4, 0, 0, 2, 0xff, 0, 0, 0,
                                       7, 5, 0x01, 2, 0, 2, 0,          7, 5, 0x81, 2, 0, 2, 0};
    struct Row {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> edit;
        bool found;     // interface 0 is found
        ULONG pipes;    // pipes counted for it
    } rows[] = {
        {"intact", [](auto &) {}, true, 2},
        {"endpoint with bLength 0 stops the walk", [](auto &c) { c[18] = 0; }, true, 0},
        {"endpoint running past the end", [](auto &c) { c[25] = 200; }, true, 1},
        {"interface with bLength 0", [](auto &c) { c[9] = 0; }, false, 0},
        {"wTotalLength shorter than the interface", [](auto &c) { c.resize(12); c[2] = 12; }, false, 0},
        {"wTotalLength below the header", [](auto &c) { c[2] = 4; }, false, 0},
        {"interface announces more endpoints than follow", [](auto &c) { c[13] = 5; }, true, 2},
        {"class descriptor between endpoints", [](auto &c) {
             c.insert(c.begin() + 25, {3, 0x25, 1});
             c[2] = static_cast<uint8_t>(c.size());
         }, true, 2},
    };
    for (const Row &row : rows) {
        std::vector<uint8_t> c = good;
        row.edit(c);
        c.shrink_to_fit();
        PUSB_INTERFACE_DESCRIPTOR iface = Parse(c, 0, 0, 0);
        EXPECT_EQ(iface != nullptr, row.found) << row.what;
        if (iface == nullptr) {
            continue;
        }
        std::vector<USBD_INTERFACE_LIST_ENTRY> list = {{iface, nullptr}, {nullptr, nullptr}};
        PURB urb = Create(c, list);
        ASSERT_NE(urb, nullptr) << row.what;
        EXPECT_EQ(list[0].Interface->NumberOfPipes, row.pipes) << row.what;
        Free(urb);
    }
}

TEST_F(UsbdTest, RandomCorruptionOfRealDescriptors)
{
    std::mt19937 random(20261209);
    std::vector<std::vector<uint8_t>> configs;
    for (const auto &entry : std::filesystem::directory_iterator(VEXTORA_DEVICES_DIR)) {
        if (entry.path().extension() == ".json") {
            configs.push_back(LoadDeviceDescription(entry.path()).Descriptors.Configuration);
        }
    }
    ASSERT_FALSE(configs.empty());
    for (int round = 0; round < 400; round++) {
        std::vector<uint8_t> c = configs[round % configs.size()];
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int f = 0; f < flips; f++) {
            c[random() % c.size()] = static_cast<uint8_t>(random());
        }
        // wTotalLength may now claim more than the buffer: keep the buffer
        // honest, as the driver's own buffer would be.
        const size_t total = static_cast<size_t>(c[2] | c[3] << 8);
        c.resize(std::max<size_t>(total, 9));
        c.shrink_to_fit();
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (LONG n = 0; n < 8; n++) {
            if (PUSB_INTERFACE_DESCRIPTOR d = Parse(c, 0, n, 0)) {
                list.push_back({d, nullptr});
            }
        }
        list.push_back({nullptr, nullptr});
        if (PURB urb = Create(c, list)) {
            for (size_t i = 0; i + 1 < list.size(); i++) {
                ASSERT_NE(list[i].Interface, nullptr);
            }
            Free(urb);
        }
        (void)USBD_ParseDescriptors(c.data(), static_cast<ULONG>(c.size()), c.data(), USB_ENDPOINT_DESCRIPTOR_TYPE);
    }
}
