// Device models: standard requests, the loopback device's FIFO and class
// requests, the source/sink pattern and the scripted device.
#include <gtest/gtest.h>

#include "sim/usb/Models.h"

using namespace vextora::usb;

namespace {

std::vector<uint8_t> Ask(DeviceModel &m, const SetupPacket &s, Result *r = nullptr)
{
    std::vector<uint8_t> buf(s.Length);
    Result res = m.Control(s, buf);
    buf.resize(res.Kind == Outcome::Done ? res.Actual : 0);
    if (r) {
        *r = res;
    }
    return buf;
}

EndpointInfo Ep(const DeviceModel &m, uint8_t address)
{
    for (const auto &e : m.Configuration().Interfaces.at(0).Endpoints) {
        if (e.Address == address) {
            return e;
        }
    }
    ADD_FAILURE() << "no endpoint " << int(address);
    return {};
}

}  // namespace

TEST(DeviceModel, StandardRequests)
{
    LoopbackModel m(LoopbackDescriptors());
    struct Row {
        const char *what;
        SetupPacket setup;
        Outcome outcome;
        std::vector<uint8_t> answer;  // checked when not empty
    } rows[] = {
        {"device descriptor, truncated to wLength", {0x80, 6, 0x0100, 0, 8}, Outcome::Done,
         {18, 1, 0, 2, 0xff, 0, 0, 64}},
        {"configuration header", {0x80, 6, 0x0200, 0, 9}, Outcome::Done, {9, 2, 39, 0, 1, 1, 0, 0xA0, 50}},
        {"configuration index 1 does not exist", {0x80, 6, 0x0201, 0, 9}, Outcome::Stall, {}},
        {"LANGID list", {0x80, 6, 0x0300, 0, 255}, Outcome::Done, {4, 3, 0x09, 0x04}},
        {"serial in a listed language", {0x80, 6, 0x0303, 0x0409, 255}, Outcome::Done,
         {14, 3, 'V', 0, 'X', 0, '0', 0, '0', 0, '0', 0, '1', 0}},
        {"string in an unlisted language", {0x80, 6, 0x0302, 0x0407, 255}, Outcome::Stall, {}},
        {"missing string", {0x80, 6, 0x0309, 0x0409, 255}, Outcome::Stall, {}},
        {"device qualifier is not offered", {0x80, 6, 0x0600, 0, 10}, Outcome::Stall, {}},
        {"wrong configuration value", {0x00, 9, 7, 0, 0}, Outcome::Stall, {}},
        {"set configuration 1", {0x00, 9, 1, 0, 0}, Outcome::Done, {}},
        {"get configuration", {0x80, 8, 0, 0, 1}, Outcome::Done, {1}},
        {"arm remote wake-up", {0x00, 3, 1, 0, 0}, Outcome::Done, {}},
        {"device status shows it", {0x80, 0, 0, 0, 2}, Outcome::Done, {2, 0}},
        {"unknown vendor request", {0xC0, 0x33, 0, 0, 4}, Outcome::Stall, {}},
    };
    for (const auto &row : rows) {
        Result r;
        auto answer = Ask(m, row.setup, &r);
        EXPECT_EQ(r.Kind, row.outcome) << row.what;
        if (!row.answer.empty()) {
            EXPECT_EQ(answer, row.answer) << row.what;
        }
    }
    EXPECT_TRUE(m.RemoteWakeupEnabled());
    EXPECT_EQ(m.SetupLog().size(), std::size(rows));
}

TEST(DeviceModel, RemoteWakeupRefusedWithoutTheAttribute)
{
    auto d = LoopbackDescriptors();
    d.Configuration[7] = 0x80;
    SourceSinkModel m(d);
    Result r;
    Ask(m, {0x00, 3, 1, 0, 0}, &r);
    EXPECT_EQ(r.Kind, Outcome::Stall);
    EXPECT_FALSE(m.RemoteWakeupEnabled());
}

TEST(DeviceModel, StallHaltsUntilClearFeature)
{
    ScriptedModel m(LoopbackDescriptors());
    m.OnEndpoint(0x81, Action::StallIt());
    m.OnEndpoint(0x81, Action::Reply({1, 2, 3}));
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(m.Transfer(Ep(m, 0x81), buf).Kind, Outcome::Stall);
    EXPECT_TRUE(m.IsHalted(0x81));
    // Still halted: the queued reply is not consumed.
    EXPECT_EQ(m.Transfer(Ep(m, 0x81), buf).Kind, Outcome::Stall);
    Result r;
    Ask(m, {0x02, 1, 0, 0x81, 0}, &r);  // CLEAR_FEATURE(ENDPOINT_HALT)
    EXPECT_EQ(r.Kind, Outcome::Done);
    Result t = m.Transfer(Ep(m, 0x81), buf);
    EXPECT_EQ(t.Kind, Outcome::Done);
    EXPECT_EQ(t.Actual, 3u);
}

TEST(LoopbackModel, BytesComeBackInOrderAndReadsWaitForData)
{
    LoopbackModel m(LoopbackDescriptors());
    int kicks = 0;
    m.Kick = [&] { kicks++; };
    std::vector<uint8_t> in(1000);
    EXPECT_EQ(m.Transfer(Ep(m, 0x81), in).Kind, Outcome::Nak);

    std::vector<uint8_t> a(700), b(300);
    for (size_t i = 0; i < a.size(); i++) a[i] = uint8_t(i);
    for (size_t i = 0; i < b.size(); i++) b[i] = uint8_t(0xA0 + i);
    EXPECT_EQ(m.Transfer(Ep(m, 0x01), a).Actual, 700u);
    EXPECT_EQ(m.Transfer(Ep(m, 0x01), b).Actual, 300u);
    EXPECT_EQ(kicks, 2);

    std::vector<uint8_t> got;
    for (size_t chunk : {512u, 400u, 512u}) {
        std::vector<uint8_t> buf(chunk);
        Result r = m.Transfer(Ep(m, 0x81), buf);
        ASSERT_EQ(r.Kind, Outcome::Done);
        got.insert(got.end(), buf.begin(), buf.begin() + r.Actual);
    }
    std::vector<uint8_t> want = a;
    want.insert(want.end(), b.begin(), b.end());
    EXPECT_EQ(got, want);
}

TEST(LoopbackModel, FullFifoTakesWholePacketsAndWaits)
{
    LoopbackModel m(LoopbackDescriptors(), 1100);
    std::vector<uint8_t> out(2000, 0x5A);
    Result r = m.Transfer(Ep(m, 0x01), out);
    EXPECT_EQ(r.Kind, Outcome::Nak);
    EXPECT_EQ(r.Actual, 1024u);  // two 512-byte packets fit, the third waits
    EXPECT_EQ(m.FifoLevel(), 1024u);
}

TEST(LoopbackModel, ClassRequests)
{
    LoopbackModel m(LoopbackDescriptors());
    m.SetBlockPayload({'a', 'b', 'c'});
    EXPECT_EQ(Ask(m, {0xA1, 0, 0, 0, 64}), (std::vector<uint8_t>{0, 5, 'a', 'b', 'c'}));
    EXPECT_EQ(Ask(m, {0xA1, 0, 0, 0, 3}), (std::vector<uint8_t>{0, 5, 'a'}));
    EXPECT_EQ(Ask(m, {0xA1, 1, 0, 0, 64}).size(), 2u);

    std::vector<uint8_t> payload{9, 8, 7};
    Result r = m.Control({0x23, 2, 0, 0, 3}, payload);
    EXPECT_EQ(r.Kind, Outcome::Done);
    ASSERT_EQ(m.OtherWrites().size(), 1u);
    EXPECT_EQ(m.OtherWrites()[0], payload);

    Result wrong;
    Ask(m, {0xA1, 2, 0, 0, 8}, &wrong);
    EXPECT_EQ(wrong.Kind, Outcome::Stall);
}

TEST(LoopbackModel, InterruptEndpointReportsFifoLevel)
{
    LoopbackModel m(LoopbackDescriptors());
    std::vector<uint8_t> out(300, 1);
    (void)m.Transfer(Ep(m, 0x01), out);
    std::vector<uint8_t> report(8);
    Result r = m.Transfer(Ep(m, 0x82), report);
    ASSERT_EQ(r.Actual, 2u);
    EXPECT_EQ(report[0] | report[1] << 8, 300);
}

TEST(SourceSinkModel, PatternContinuesAcrossTransfersAndOutIsCounted)
{
    SourceSinkModel m(LoopbackDescriptors());
    std::vector<uint8_t> first(100), second(100);
    (void)m.Transfer(Ep(m, 0x81), first);
    (void)m.Transfer(Ep(m, 0x81), second);
    EXPECT_EQ(first[62], 62);
    EXPECT_EQ(first[63], 0);
    EXPECT_EQ(second[0], 100 % 63);
    std::vector<uint8_t> out(4096);
    EXPECT_EQ(m.Transfer(Ep(m, 0x01), out).Actual, 4096u);
    EXPECT_EQ(m.BytesReceived(0x01), 4096u);
    EXPECT_EQ(m.BytesSent(0x81), 200u);
}

TEST(ScriptedModel, ActionsPlayInOrderThenFallBack)
{
    ScriptedModel m(LoopbackDescriptors());
    m.OnEndpoint(0x81, Action::Reply({1, 2}, 5000));
    m.OnEndpoint(0x81, Action::Fail(int32_t(0xC0000005)));
    m.OnEndpoint(0x81, Action::Unplug());
    m.OnEndpoint(0x01, Action::AcceptOut(10));
    m.OnControl(0x80, 6, Action::StallIt());
    std::vector<uint8_t> buf(64);
    Result r1 = m.Transfer(Ep(m, 0x81), buf);
    EXPECT_EQ(r1.Actual, 2u);
    EXPECT_EQ(r1.DelayNs, 5000u);
    EXPECT_EQ(m.Transfer(Ep(m, 0x81), buf).UsbdStatus, int32_t(0xC0000005));
    EXPECT_EQ(m.Transfer(Ep(m, 0x81), buf).Kind, Outcome::Disconnect);
    EXPECT_EQ(m.Transfer(Ep(m, 0x81), buf).Kind, Outcome::Nak);  // fallback for IN
    EXPECT_EQ(m.Transfer(Ep(m, 0x01), buf).Actual, 10u);
    EXPECT_EQ(m.Transfer(Ep(m, 0x01), buf).Actual, 64u);  // fallback for OUT
    Result s;
    Ask(m, {0x80, 6, 0x0100, 0, 18}, &s);
    EXPECT_EQ(s.Kind, Outcome::Stall);
    EXPECT_EQ(Ask(m, {0x80, 6, 0x0100, 0, 18}).size(), 18u);  // scripted once only
    ASSERT_EQ(m.Transfers().size(), 6u);
    EXPECT_EQ(m.Transfers()[4].OutData.size(), 64u);
}

TEST(ScriptedModel, NakStaysUntilReplaced)
{
    ScriptedModel m(LoopbackDescriptors());
    m.OnEndpoint(0x81, Action::NakForever());
    std::vector<uint8_t> buf(8);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(m.Transfer(Ep(m, 0x81), buf).Kind, Outcome::Nak);
    }
}
