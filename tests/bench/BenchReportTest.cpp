// `vxsim bench --quick`: every run completes, the numbers are consistent
// with what was asked for, and the pool it measures comes back afterwards.
#include <cmath>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/vxsim/Bench.h"

namespace {

class BenchReportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { report_ = new vx::BenchReport(vx::RunBench({.seed = 7, .quick = true})); }
    static void TearDownTestSuite() { delete report_; }
    static vx::BenchReport *report_;
};
vx::BenchReport *BenchReportTest::report_ = nullptr;

TEST_F(BenchReportTest, EveryBulkCellMovesWhatItAskedForInPositiveVirtualTime)
{
    ASSERT_TRUE(report_->passed) << report_->failure;
    ASSERT_FALSE(report_->bulk.empty());
    for (const auto &c : report_->bulk) {
        SCOPED_TRACE(c.direction + " " + std::to_string(c.size) + " x" + std::to_string(c.depth));
        EXPECT_EQ(c.failed, 0u);
        EXPECT_GE(c.requests, c.depth);
        EXPECT_EQ(c.bytes, c.requests * c.size);
        EXPECT_GT(c.virtualNs, 0u);
        EXPECT_TRUE(std::isfinite(c.mbPerSecond) && c.mbPerSecond > 0);
        EXPECT_DOUBLE_EQ(c.share, c.mbPerSecond * 1e6 / 53248000.0);
        EXPECT_GT(c.busyMicroframes, 0u);
    }
}

TEST_F(BenchReportTest, InterruptReadsRunForTheWholeWindow)
{
    ASSERT_EQ(report_->interrupt.size(), 2u);
    for (const auto &f : report_->interrupt) {
        EXPECT_EQ(f.failed, 0u);
        EXPECT_GE(f.virtualNs, 20000000u);
        EXPECT_GT(f.reads, f.depth);
    }
}

// Every pending read holds the same pool, and cancelling them all gives
// back exactly what the idle device had.
TEST_F(BenchReportTest, PoolPerRequestIsLinearAndReturnedAfterCancel)
{
    ASSERT_GE(report_->pool.size(), 2u);
    for (const auto &p : report_->pool) {
        SCOPED_TRACE(p.inFlight);
        EXPECT_GT(p.bytesPerRequest, 0);
        EXPECT_EQ(p.bytesInFlight - p.bytesBefore, static_cast<int64_t>(p.bytesPerRequest * p.inFlight));
        EXPECT_EQ(p.bytesAfter, p.bytesBefore);
        EXPECT_EQ(p.blocksAfter, p.blocksBefore);
        EXPECT_EQ(p.cancelled, p.inFlight);
        EXPECT_EQ(p.unfinished, 0u);
    }
    EXPECT_DOUBLE_EQ(report_->pool.front().bytesPerRequest, report_->pool.back().bytesPerRequest);
}

TEST_F(BenchReportTest, JsonCarriesEveryCell)
{
    auto j = nlohmann::json::parse(vx::BenchJson(*report_));
    EXPECT_TRUE(j["passed"].get<bool>());
    ASSERT_EQ(j["bulk"].size(), report_->bulk.size());
    for (const auto &c : j["bulk"])
        for (const char *key : {"size", "depth", "mb_per_s", "share", "idle_microframes", "virtual_ns"})
            EXPECT_TRUE(c.contains(key) && c[key].is_number()) << key;
    EXPECT_EQ(j["pool"].size(), report_->pool.size());
    EXPECT_EQ(j["interrupt"].size(), report_->interrupt.size());
}

}  // namespace
