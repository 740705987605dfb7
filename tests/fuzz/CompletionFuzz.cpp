// libFuzzer target: bulk and interrupt transfers that the device ends as the
// input says (short, stalled, failed with any USBD status, whole). The
// application never hears of more bytes than it asked for, a read never
// writes past its buffer, and the device stays removable without leaks.
#include "tests/fuzz/FuzzDevice.h"

#include "include/vextora.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    fuzzdev::Bytes script(Data, Size);
    fuzzdev::Answers answers;
    answers.Script = &script;
    answers.FuzzTransfers = true;
    fuzzdev::RunDevice(answers, [&](lowres::Rig &rig) {
        vxio::Handle pipes[3] = {vxio::kInvalidHandle, vxio::kInvalidHandle, vxio::kInvalidHandle};
        const char16_t *names[3] = {u"PIPE0", u"PIPE1", u"PIPE2"};
        for (int i = 0; i < 3; ++i) {
            if (!NT_SUCCESS(rig.Open(names[i], &pipes[i]))) {
                fuzzdev::Fail("a started device refused a pipe open", i, 0);
            }
        }
        for (int op = 0; op < 8 && !script.Empty(); ++op) {
            uint8_t selector = script.Byte();
            uint32_t length = script.Word() % 2048;
            std::vector<uint8_t> buffer(length + 16, 0xEE);
            uint32_t moved = 0;
            NTSTATUS status;
            switch (selector % 4) {
            case 0:
                status = rig.Io().WriteSync(pipes[0], buffer.data(), length, &moved);
                break;
            case 1:
                status = rig.Io().ReadSync(pipes[1], buffer.data(), length, &moved);
                break;
            case 2:
                status = rig.Io().ReadSync(pipes[2], buffer.data(), length, &moved);
                break;
            default: {
                uint32_t returned = 0;
                status = rig.Io().ControlSync(pipes[1 + (selector >> 7)], IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0,
                                              &returned);
                length = 0;
                break;
            }
            }
            if (status == STATUS_PENDING || (NT_SUCCESS(status) && moved > length)) {
                fuzzdev::Fail("transfer reported more bytes than asked for", moved, length);
            }
            for (size_t i = length; i < buffer.size(); ++i) {
                if (buffer[i] != 0xEE) {
                    fuzzdev::Fail("read wrote past its buffer", static_cast<long long>(i), length);
                }
            }
        }
        for (vxio::Handle pipe : pipes) {
            rig.Close(pipe);
        }
    });
    return 0;
}
