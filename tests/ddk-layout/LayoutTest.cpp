// Every structure vextora.sys for x64 shares with the kernel has, in the
// simulator, the DDK's size and field offsets: the loaded image reads and
// writes the simulator's objects through its own compiled-in offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "DdkTable.h"
#include "driver/DeviceExtension.h"
#include "tests/ddk-layout/LayoutRecord.h"

namespace {

constexpr ddklayout::Record kSimulatorTable[] = {
#include "tests/ddk-layout/Fields.inc"
};

std::vector<ddklayout::Record> DdkTable()
{
    std::vector<ddklayout::Record> records(sizeof(kDdkTableBytes) / sizeof(ddklayout::Record));
    std::memcpy(records.data(), kDdkTableBytes, records.size() * sizeof(ddklayout::Record));
    return records;
}

const char *KindName(uint32_t kind)
{
    return kind == ddklayout::kSize ? "size" : kind == ddklayout::kOffset ? "offset" : "bit";
}

TEST(DdkLayout, EveryFieldSitsWhereTheDdkPutsIt)
{
    const std::vector<ddklayout::Record> ddk = DdkTable();
    ASSERT_EQ(sizeof(kDdkTableBytes) % sizeof(ddklayout::Record), 0u);
    ASSERT_EQ(ddk.size(), std::size(kSimulatorTable)) << "the two tables come from one list";
    std::ostringstream differences;
    for (size_t i = 0; i < ddk.size(); ++i) {
        const ddklayout::Record &theirs = ddk[i];
        const ddklayout::Record &ours = kSimulatorTable[i];
        ASSERT_STREQ(theirs.Name, ours.Name);
        ASSERT_EQ(theirs.Kind, ours.Kind) << ours.Name;
        if (theirs.Value != ours.Value) {
            differences << ours.Name << ": " << KindName(ours.Kind) << " " << theirs.Value << " in the DDK, "
                        << ours.Value << " in the simulator\n";
        }
    }
    EXPECT_EQ(differences.str(), "");
}

}  // namespace
