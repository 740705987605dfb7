// The kernel images carry the compiled schema as MOFDATA "MOFRESOURCENAME",
// and it decodes back to the driver's class.
#include "Layout.h"
#include "PeResources.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

class ImageResource : public testing::TestWithParam<const char *> {};

TEST_P(ImageResource, CarriesTheDriverClass)
{
    const char *path = GetParam();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const char *ci = std::getenv("CI");
        if (ci != nullptr && std::string_view(ci) == "true") {
            FAIL() << path << " is missing; the kernel presets must be built before the tests";
        }
        GTEST_SKIP() << path << " not built (build the win-x86 and win-x64 presets first)";
    }
    std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    std::optional<std::vector<std::uint8_t>> mof = vxtest::FindNamedResource(image, "MOFDATA", "MofResourceName");
    ASSERT_TRUE(mof.has_value()) << path << " has no MOFDATA/MOFRESOURCENAME resource";
    vxbmof::Decoded decoded = vxbmof::DecodeBmof(*mof);
    ASSERT_EQ(decoded.classes.size(), 1u);
    const vxbmof::ClassDecl &c = decoded.classes[0];
    EXPECT_EQ(c.name, "ZelmoraDeviceInformation");
    EXPECT_EQ(c.nameSpace, "root\\default");
    ASSERT_EQ(c.properties.size(), 3u);
    const char *names[] = {"InstanceName", "Active", "DebugPrintLevel"};
    const char *types[] = {"string", "boolean", "uint32"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(c.properties[i].name, names[i]);
        EXPECT_EQ(c.properties[i].typeName, types[i]);
    }
    EXPECT_EQ(c.properties[2].qualifiers.at(0), (vxbmof::Qualifier{"WmiDataId", 1, 0}));
    bool sawGuid = false;
    for (const vxbmof::Qualifier &q : c.qualifiers) {
        if (q.name == "guid") {
            sawGuid = std::get<std::string>(q.value) == "{78A8A1B8-6FF9-48b9-87FA-D1CAF6922D9D}";
        }
    }
    EXPECT_TRUE(sawGuid);
}

INSTANTIATE_TEST_SUITE_P(KernelImages, ImageResource, testing::Values(VEXTORA_IMAGE_X86, VEXTORA_IMAGE_X64));

}  // namespace
