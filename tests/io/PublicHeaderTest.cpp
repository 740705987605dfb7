// What applications compile against: the same codes and GUID from C and C++.
#include "include/vextora.h"

#include <gtest/gtest.h>

#include <cstring>

extern "C" unsigned int VextoraCodesFromC(unsigned int *codes);
extern "C" const VEXTORA_GUID *VextoraGuidFromC(void);
extern "C" unsigned int VextoraStringRequestSizeFromC(void);

namespace {

TEST(PublicHeader, CodesAndGuidAgreeBetweenCAndCxx)
{
    unsigned int fromC[8] = {};
    ASSERT_EQ(VextoraCodesFromC(fromC), 8u);
    const unsigned int expected[8] = {0x220000, 0x220004, 0x220008, 0x22000C,
                                      0x220010, 0x220014, 0x220018, 0x22001C};
    for (unsigned int function = 0; function < 8; ++function) {
        EXPECT_EQ(fromC[function], expected[function]);
        EXPECT_EQ(VEXTORA_CTL_CODE(function), expected[function]);
    }
    // {9A655975-1560-4E63-9577-3524A0394D23} in memory order.
    const unsigned char bytes[16] = {0x75, 0x59, 0x65, 0x9A, 0x60, 0x15, 0x63, 0x4E,
                                     0x95, 0x77, 0x35, 0x24, 0xA0, 0x39, 0x4D, 0x23};
    ASSERT_EQ(sizeof(VEXTORA_GUID), 16u);
    EXPECT_EQ(std::memcmp(VextoraGuidFromC(), bytes, 16), 0);
    EXPECT_EQ(std::memcmp(&GUID_DEVINTERFACE_VEXTORA, bytes, 16), 0);
    EXPECT_EQ(VextoraStringRequestSizeFromC(), 4u);
}

}  // namespace
