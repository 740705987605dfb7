// How much of a device's answer to a control request may reach the caller.
#include "io/ControlAnswers.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct BlockCase {
    const char *What;
    std::vector<unsigned char> Answer; // what the device sent
    unsigned int OutputLength;
    AnswerVerdict Verdict;
    unsigned int Length;
};

TEST(ControlAnswers, ClassBlockAnswer)
{
    std::vector<unsigned char> eight(8, 0xEE);
    auto answer = [](std::vector<unsigned char> head, unsigned int payload) {
        head.resize(head.size() + payload, 0x5A);
        return head;
    };
    const BlockCase cases[] = {
        {"header 10, 8 payload bytes", answer({0x00, 0x0A}, 8), 64, AnswerVerdict::Accepted, 8},
        {"header 2, empty payload", {0x00, 0x02}, 64, AnswerVerdict::Accepted, 0},
        {"header 66 fills L", answer({0x00, 0x42}, 64), 64, AnswerVerdict::Accepted, 64},
        {"header 67 exceeds L", answer({0x00, 0x43}, 65), 64, AnswerVerdict::TooLarge, 0},
        {"header is big-endian", answer({0x01, 0x00}, 254), 64, AnswerVerdict::TooLarge, 0},
        {"header 1 wraps", {0x00, 0x01}, 64, AnswerVerdict::TooLarge, 0},
        {"header 0 wraps", {0x00, 0x00}, 64, AnswerVerdict::TooLarge, 0},
        {"device sent more than its header", answer({0x00, 0x04}, 9), 64, AnswerVerdict::Accepted, 2},
        {"answer shorter than its header", answer({0x00, 0x0A}, 3), 64, AnswerVerdict::Malformed, 0},
        {"one byte only", {0x00}, 64, AnswerVerdict::Malformed, 0},
        {"nothing at all", {}, 64, AnswerVerdict::Malformed, 0},
        {"L 0, header 2", {0x00, 0x02}, 0, AnswerVerdict::Accepted, 0},
    };
    for (const BlockCase &c : cases) {
        // Staging is L + 2 bytes of stale content; the device overwrote the start.
        std::vector<unsigned char> staging(c.OutputLength + 2, 0xCC);
        std::copy(c.Answer.begin(), c.Answer.begin() + std::min(c.Answer.size(), staging.size()),
                  staging.begin());
        unsigned int received = static_cast<unsigned int>(std::min(c.Answer.size(), staging.size()));
        AnswerLength result = CheckClassBlockAnswer(staging.data(), static_cast<unsigned int>(staging.size()),
                                                    received, c.OutputLength);
        EXPECT_EQ(result.Verdict, c.Verdict) << c.What;
        EXPECT_EQ(result.Length, c.Length) << c.What;
    }
}

TEST(ControlAnswers, ClassBlockReceivedBeyondTheBufferIsNotBelieved)
{
    // A bus that reports more bytes than the buffer holds: the header may not
    // pull the copy past the staging buffer.
    unsigned char staging[6] = {0x00, 0x08, 1, 2, 3, 4};
    AnswerLength result = CheckClassBlockAnswer(staging, 6, 1000, 64);
    EXPECT_EQ(result.Verdict, AnswerVerdict::Malformed);
    staging[1] = 0x06;
    result = CheckClassBlockAnswer(staging, 6, 1000, 64);
    EXPECT_EQ(result.Verdict, AnswerVerdict::Accepted);
    EXPECT_EQ(result.Length, 4u);
}

struct StringCase {
    const char *What;
    std::vector<unsigned char> Sent;
    unsigned int BufferLength;
    AnswerVerdict Verdict;
    unsigned int Length;
};

TEST(ControlAnswers, StringDescriptorProbe)
{
    const StringCase cases[] = {
        {"usual probe", {0x1A, 0x03, 'V', 0}, 4, AnswerVerdict::Accepted, 0x1A},
        {"LANGID list of one", {0x04, 0x03, 0x09, 0x04}, 4, AnswerVerdict::Accepted, 4},
        {"empty string, 2 bytes sent", {0x02, 0x03}, 4, AnswerVerdict::Accepted, 2},
        {"bLength 0", {0x00, 0x03, 0, 0}, 4, AnswerVerdict::Malformed, 0},
        {"bLength 1", {0x01, 0x03, 0, 0}, 4, AnswerVerdict::Malformed, 0},
        {"one byte sent", {0x1A}, 4, AnswerVerdict::Malformed, 0},
        {"nothing sent", {}, 4, AnswerVerdict::Malformed, 0},
        {"bLength 255", {0xFF, 0x03, 0, 0}, 4, AnswerVerdict::Accepted, 255},
    };
    for (const StringCase &c : cases) {
        unsigned char probe[4] = {};
        std::copy(c.Sent.begin(), c.Sent.end(), probe);
        AnswerLength result =
            CheckStringDescriptorProbe(probe, c.BufferLength, static_cast<unsigned int>(c.Sent.size()));
        EXPECT_EQ(result.Verdict, c.Verdict) << c.What;
        EXPECT_EQ(result.Length, c.Length) << c.What;
    }
}

TEST(ControlAnswers, StringDescriptorAnswer)
{
    const StringCase cases[] = {
        {"same answer as the probe", {0x06, 0x03, 'a', 0, 'b', 0}, 6, AnswerVerdict::Accepted, 6},
        {"second bLength smaller", {0x04, 0x03, 'a', 0, 'b', 0}, 6, AnswerVerdict::Accepted, 4},
        {"second bLength larger than the buffer", {0x08, 0x03, 'a', 0, 'b', 0}, 6, AnswerVerdict::Malformed, 0},
        {"fewer bytes than bLength", {0x06, 0x03, 'a', 0}, 6, AnswerVerdict::Malformed, 0},
        {"second bLength 1", {0x01, 0x03, 'a', 0, 'b', 0}, 6, AnswerVerdict::Malformed, 0},
        {"no bytes", {}, 6, AnswerVerdict::Malformed, 0},
    };
    for (const StringCase &c : cases) {
        std::vector<unsigned char> buffer(c.BufferLength, 0xCC);
        std::copy(c.Sent.begin(), c.Sent.end(), buffer.begin());
        AnswerLength result = CheckStringDescriptorAnswer(buffer.data(), c.BufferLength,
                                                          static_cast<unsigned int>(c.Sent.size()));
        EXPECT_EQ(result.Verdict, c.Verdict) << c.What;
        EXPECT_EQ(result.Length, c.Length) << c.What;
    }
}

TEST(ControlAnswers, ConfigurationDescriptorCopyStaysWithinTheStoredBuffer)
{
    // wTotalLength 0x0020 in a 32-byte buffer; the same header in a 25-byte
    // buffer (a device that gave a different wTotalLength the second time).
    std::vector<unsigned char> stored(32, 0);
    stored[0] = 9;
    stored[1] = 2;
    stored[2] = 0x20;
    stored[3] = 0x00;
    EXPECT_EQ(ConfigurationDescriptorCopyLength(stored.data(), 32).Length, 32u);
    EXPECT_EQ(ConfigurationDescriptorCopyLength(stored.data(), 25).Length, 25u);
    stored[2] = 0x10;
    EXPECT_EQ(ConfigurationDescriptorCopyLength(stored.data(), 32).Length, 16u);
    EXPECT_EQ(ConfigurationDescriptorCopyLength(stored.data(), 3).Verdict, AnswerVerdict::Malformed);
    EXPECT_EQ(ConfigurationDescriptorCopyLength(nullptr, 32).Verdict, AnswerVerdict::Malformed);
}

} // namespace
