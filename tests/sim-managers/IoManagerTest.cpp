// The I/O manager's application side: the IRPs it builds for opens, closes,
// reads, writes and device controls, overlapped requests and cancellation.
#include <gtest/gtest.h>

#include <cstring>

#include "ToyStack.h"

namespace {

using toy::Stack;

TEST(IoManager, OpenSendsCreateWithTheRemainderAndCloseSendsCleanupThenClose)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    const std::u16string link = stack.Link();
    ASSERT_EQ(link.substr(0, 4), u"\\\\?\\");

    vxio::Handle device = vxio::kInvalidHandle, pipe = vxio::kInvalidHandle;
    ASSERT_EQ(stack.Io().Open(link, u"", &device), STATUS_SUCCESS);
    ASSERT_EQ(stack.Io().Open(link, u"PIPE03", &pipe), STATUS_SUCCESS);
    EXPECT_EQ(toy::Current().Record.CreateNames, (std::vector<std::u16string>{u"", u"\\PIPE03"}));
    EXPECT_EQ(stack.Io().OpenHandles(), 2u);

    toy::Current().Record.FileMajors.clear();
    ASSERT_EQ(stack.Io().Close(pipe), STATUS_SUCCESS);
    EXPECT_EQ(toy::Current().Record.FileMajors, (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(stack.Io().Close(pipe), STATUS_INVALID_HANDLE);
    ASSERT_EQ(stack.Io().Close(device), STATUS_SUCCESS);
}

TEST(IoManager, OpenIsRefusedForMissingDisabledAndUnstartedDevices)
{
    Stack stack;
    vxio::Handle handle = vxio::kInvalidHandle;
    EXPECT_EQ(stack.Io().Open(u"\\\\?\\TOY#nothing#{00000000-0000-0000-0000-000000000000}", u"", &handle),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    const std::u16string link = stack.Link();
    ASSERT_EQ(stack.Pnp().QueryStop(stack.Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(stack.Pnp().Stop(stack.Pdo()), STATUS_SUCCESS);
    // Stopped: the driver, not the I/O manager, decides; the toy accepts.
    EXPECT_EQ(stack.Io().Open(link, u"", &handle), STATUS_SUCCESS);
    EXPECT_EQ(stack.Io().Close(handle), STATUS_SUCCESS);
    ASSERT_EQ(stack.Pnp().Start(stack.Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(stack.Pnp().Disable(stack.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(stack.Io().Open(link, u"", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(handle, vxio::kInvalidHandle);
}

TEST(IoManager, ReadsAndWritesUseTheApplicationsOwnPages)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    vxio::Handle handle = vxio::kInvalidHandle;
    ASSERT_EQ(stack.Io().Open(stack.Link(), u"PIPE00", &handle), STATUS_SUCCESS);

    uint8_t data[300] = {};
    uint32_t moved = 0;
    ASSERT_EQ(stack.Io().ReadSync(handle, data, sizeof(data), &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, sizeof(data));
    EXPECT_EQ(data[2], 15);
    ASSERT_EQ(toy::Current().Record.ReadMdlAddresses.size(), 1u);
    EXPECT_EQ(toy::Current().Record.ReadMdlAddresses[0], static_cast<PVOID>(data));

    const uint8_t out[5] = {9, 8, 7, 6, 5};
    ASSERT_EQ(stack.Io().WriteSync(handle, out, sizeof(out), &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, sizeof(out));
    EXPECT_EQ(toy::Current().Record.Written, std::vector<uint8_t>(out, out + 5));

    // A zero-length request carries no MDL.
    ASSERT_EQ(stack.Io().WriteSync(handle, out, 0, &moved), STATUS_SUCCESS);
    EXPECT_TRUE(toy::Current().Record.Written.empty());
    EXPECT_EQ(stack.Io().Close(handle), STATUS_SUCCESS);
}

TEST(IoManager, BufferedControlCopiesInAndOutThroughOneSystemBuffer)
{
    Stack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    vxio::Handle handle = vxio::kInvalidHandle;
    ASSERT_EQ(stack.Io().Open(stack.Link(), u"", &handle), STATUS_SUCCESS);

    struct Case {
        const char *Name;
        ULONG Code;
        uint32_t In;
        uint32_t Out;
        NTSTATUS Status;
        uint32_t Returned;
        size_t Reports;
    };
    const Case cases[] = {
        {"echo, output shorter", toy::kIoctlEcho, 6, 4, STATUS_SUCCESS, 4, 0},
        {"echo, input shorter", toy::kIoctlEcho, 2, 8, STATUS_SUCCESS, 2, 0},
        {"no buffers at all", toy::kIoctlEcho, 0, 0, STATUS_SUCCESS, 0, 0},
        {"failure copies nothing back", toy::kIoctlFail, 4, 4, STATUS_INVALID_PARAMETER, 0, 0},
        {"driver claims more than the output", toy::kIoctlOverclaim, 0, 4, STATUS_SUCCESS, 4, 1},
        {"unknown code", 0x22FFFC, 4, 4, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        uint8_t input[8] = {10, 20, 30, 40, 50, 60, 70, 80};
        uint8_t output[16];
        std::memset(output, 0xCC, sizeof(output));
        uint32_t returned = 99;
        EXPECT_EQ(stack.Io().ControlSync(handle, c.Code, input, c.In, output, c.Out, &returned), c.Status);
        EXPECT_EQ(returned, c.Returned);
        if (c.Code == toy::kIoctlEcho) {
            for (uint32_t i = 0; i < c.Returned; ++i) {
                EXPECT_EQ(output[i], input[i] + 1);
            }
        }
        // Never a byte beyond what the driver returned, nor beyond Out.
        for (uint32_t i = c.Returned; i < sizeof(output); ++i) {
            EXPECT_EQ(output[i], 0xCC) << i;
        }
        EXPECT_EQ(stack.Machine().ReportCount(sim::checks::InformationTooLarge), c.Reports);
        stack.Machine().ClearReports();
    }
    EXPECT_EQ(stack.Io().Close(handle), STATUS_SUCCESS);
}

TEST(IoManager, OverlappedRequestsCompleteOnceAndCancelIoCancelsThem)
{
    Stack stack;
    toy::Current().PendReads = true;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    vxio::Handle handle = vxio::kInvalidHandle;
    ASSERT_EQ(stack.Io().Open(stack.Link(), u"PIPE01", &handle), STATUS_SUCCESS);

    uint8_t a[64], b[64], c[64];
    auto first = stack.Io().Read(handle, a, sizeof(a));
    auto second = stack.Io().Read(handle, b, sizeof(b));
    auto third = stack.Io().Read(handle, c, sizeof(c));
    EXPECT_FALSE(first->Done());
    EXPECT_EQ(first->Result(), STATUS_PENDING);
    EXPECT_EQ(stack.Io().Outstanding(), 3u);

    // Completed from another simulated thread.
    sim::SimThread *completer = stack.Machine().StartThread("completer", [] {
        EXPECT_TRUE(toy::CompletePendingRead(10));
    });
    stack.Machine().Join(completer);
    EXPECT_EQ(first->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(first->Information(), 10u);

    second->Cancel();
    EXPECT_EQ(second->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(stack.Io().CancelIo(handle), STATUS_SUCCESS);
    EXPECT_EQ(third->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(third->Information(), 0u);

    auto counts = stack.Io().IrpCounts();
    EXPECT_EQ(counts.Issued, counts.Completed);
    EXPECT_EQ(stack.Io().Close(handle), STATUS_SUCCESS);

    // A request on a closed handle never reaches the driver.
    auto late = stack.Io().Read(handle, a, sizeof(a));
    EXPECT_TRUE(late->Done());
    EXPECT_EQ(late->Result(), STATUS_INVALID_HANDLE);
}

TEST(IoManager, RequestsNeverCompletedAreReported)
{
    Stack stack;
    toy::Current().PendReads = true;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    vxio::Handle handle = vxio::kInvalidHandle;
    ASSERT_EQ(stack.Io().Open(stack.Link(), u"PIPE01", &handle), STATUS_SUCCESS);
    uint8_t data[16];
    auto read = stack.Io().Read(handle, data, sizeof(data));
    EXPECT_EQ(stack.Io().ReportOutstanding(), 1u);
    EXPECT_EQ(stack.Machine().ReportCount(sim::checks::ApplicationIrpNotCompleted), 1u);
    stack.Machine().ClearReports();
    ASSERT_TRUE(toy::CompletePendingRead(1));
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(stack.Io().ReportOutstanding(), 0u);
    EXPECT_EQ(stack.Io().Close(handle), STATUS_SUCCESS);
}

TEST(IoManager, CloseWaitsForPendingRequestsBeforeTheCloseIrp)
{
    Stack stack;
    toy::Current().PendReads = true;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    vxio::Handle handle = vxio::kInvalidHandle;
    ASSERT_EQ(stack.Io().Open(stack.Link(), u"PIPE01", &handle), STATUS_SUCCESS);
    uint8_t data[16];
    auto read = stack.Io().Read(handle, data, sizeof(data));

    toy::Current().Record.FileMajors.clear();
    ASSERT_EQ(stack.Io().Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(toy::Current().Record.FileMajors, std::vector<UCHAR>{IRP_MJ_CLEANUP});
    EXPECT_FALSE(read->Done());

    ASSERT_TRUE(toy::CompletePendingRead(16));
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    stack.Io().WaitIdle();
    EXPECT_EQ(toy::Current().Record.FileMajors, (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

}  // namespace
