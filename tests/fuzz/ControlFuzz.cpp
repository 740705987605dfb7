// libFuzzer target: control requests from the application with arbitrary
// codes, input and output lengths, answered by a device whose string
// descriptors and class answers come from the input. What the driver
// reports as returned never exceeds the output buffer, the bytes past it
// stay untouched, and nothing leaks.
#include "tests/fuzz/FuzzDevice.h"

#include "include/vextora.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    fuzzdev::Bytes script(Data, Size);
    fuzzdev::Answers answers;
    answers.Script = &script;
    answers.FuzzStrings = true;
    answers.FuzzClass = true;
    fuzzdev::RunDevice(answers, [&](lowres::Rig &rig) {
        vxio::Handle device = vxio::kInvalidHandle;
        vxio::Handle pipe = vxio::kInvalidHandle;
        if (!NT_SUCCESS(rig.Open(u"", &device)) || !NT_SUCCESS(rig.Open(u"PIPE1", &pipe))) {
            fuzzdev::Fail("a started device refused an open", 0, 0);
        }
        for (int request = 0; request < 4 && !script.Empty(); ++request) {
            uint8_t selector = script.Byte();
            // Mostly the driver's own codes; sometimes any code at all.
            uint32_t code = selector < 224 ? VEXTORA_CTL_CODE(selector % 9)
                                           : static_cast<uint32_t>(script.Word() | (script.Word() << 16));
            vxio::Handle target = (selector & 0x10) != 0 ? pipe : device;
            std::vector<uint8_t> input = script.Take(script.Byte() % 16);
            uint32_t outLength = script.Word() % 1024;
            std::vector<uint8_t> out(outLength + 16, 0xEE);
            uint32_t returned = 0;
            NTSTATUS status = rig.Io().ControlSync(target, code, input.data(), static_cast<uint32_t>(input.size()),
                                                   out.data(), outLength, &returned);
            if (status == STATUS_PENDING || (NT_SUCCESS(status) && returned > outLength)) {
                fuzzdev::Fail("control returned more than its output buffer", returned, outLength);
            }
            for (size_t i = outLength; i < out.size(); ++i) {
                if (out[i] != 0xEE) {
                    fuzzdev::Fail("control wrote past its output buffer", static_cast<long long>(i), outLength);
                }
            }
        }
        rig.Close(pipe);
        rig.Close(device);
    });
    return 0;
}
