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
        // However many requests are in flight, they share one bus.
        EXPECT_LE(c.share, 1.0);
        EXPECT_LE(c.busyMicroframes, c.microframes);
        EXPECT_EQ(c.idleMicroframes, c.microframes - c.busyMicroframes);
    }
}

// Requests in flight together move no faster than one microframe's 13
// packets allow, and one at a time leaves the turnaround gap.
TEST_F(BenchReportTest, DeeperQueuesFillTheBusWithoutPassingIt)
{
    auto cell = [](const std::string &dir, uint32_t size, unsigned depth) -> const vx::BulkCell * {
        for (const auto &c : report_->bulk)
            if (c.direction == dir && c.size == size && c.depth == depth)
                return &c;
        return nullptr;
    };
    for (const char *dir : {"in", "out"}) {
        SCOPED_TRACE(dir);
        const auto *small1 = cell(dir, 512, 1), *small3 = cell(dir, 512, 3);
        const auto *large1 = cell(dir, 0x10000, 1), *large3 = cell(dir, 0x10000, 3);
        ASSERT_TRUE(small1 && small3 && large1 && large3);
        // One 512-byte packet per microframe at depth 1, three at depth 3.
        EXPECT_DOUBLE_EQ(small1->share, 1.0 / 13);
        EXPECT_DOUBLE_EQ(small3->share * small3->microframes, 256.0 / 13);
        EXPECT_LT(large1->share, large3->share);
        EXPECT_GT(large3->share, 0.99);
    }
}

// Interrupt reads never beat the endpoint's max packet x transactions per
// interval, and one read in flight gets one transaction per interval.
TEST_F(BenchReportTest, InterruptReadsKeepToTheEndpointsInterval)
{
    ASSERT_FALSE(report_->interrupt.empty());
    for (const auto &f : report_->interrupt) {
        SCOPED_TRACE(f.endpoint + " x" + std::to_string(f.depth));
        EXPECT_EQ(f.failed, 0u);
        EXPECT_GE(f.virtualNs, 20000000u);
        EXPECT_GT(f.reads, f.depth);
        EXPECT_LE(f.bytesPerSecond, f.limitBytesPerSecond * (1 + 1e-9));
        EXPECT_GT(f.share, 0);
        if (f.depth == 1) {
            EXPECT_DOUBLE_EQ(f.readsPerSecond, f.expectedPerSecond / f.transactions);
        }
    }
}

// Both drivers ran every cost cell to the end on the same reads.
TEST_F(BenchReportTest, CostCellsPairTheDriversOnTheSameReads)
{
    ASSERT_EQ(report_->cost.size(), 8u);
    for (size_t i = 0; i < report_->cost.size(); i += 2) {
        const auto &v = report_->cost[i], &p = report_->cost[i + 1];
        EXPECT_EQ(v.driver, "vextora");
        EXPECT_EQ(p.driver, "pass-through");
        EXPECT_EQ(v.inFlight, p.inFlight);
        EXPECT_EQ(v.threads, p.threads);
        EXPECT_EQ(v.requests, p.requests);
        EXPECT_EQ(v.requests % v.threads, 0u);
        EXPECT_EQ(v.failed + p.failed, 0u);
        EXPECT_GT(v.nsPerRequest, 0);
        EXPECT_GT(p.nsPerRequest, 0);
    }
    EXPECT_EQ(vx::CostScaling(report_->cost).size(), 4u);
    // One round (--quick), so one figure of what sharing a line costs.
    ASSERT_EQ(report_->cacheLineRoundTripNs.size(), 1u);
    EXPECT_TRUE(std::isfinite(report_->cacheLineRoundTripNs[0]) && report_->cacheLineRoundTripNs[0] > 0);
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
    EXPECT_EQ(j["cost"].size(), report_->cost.size());
    for (const auto &c : j["cost"])
        for (const char *key : {"in_flight", "threads", "ns_per_request", "requests_per_s"})
            EXPECT_TRUE(c.contains(key) && c[key].is_number()) << key;
    EXPECT_EQ(j["cache_line_round_trip_ns"].size(), report_->cacheLineRoundTripNs.size());
}

}  // namespace
