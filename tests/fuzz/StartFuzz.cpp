// libFuzzer target: the device answers GET_DESCRIPTOR(configuration) with the
// input, and the real driver starts over it on the simulated bus. A start
// either fails cleanly or leaves a device whose stored descriptor the
// application reads back whole and whose pipes open and close; removal and
// unload leave nothing behind.
#include "tests/fuzz/FuzzDevice.h"

#include "include/vextora.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    fuzzdev::Answers answers;
    answers.FuzzConfiguration = true;
    answers.Configuration.assign(Data, Data + Size);
    fuzzdev::RunDevice(answers, [&](lowres::Rig &rig) {
        vxio::Handle device = vxio::kInvalidHandle;
        if (!NT_SUCCESS(rig.Open(u"", &device))) {
            fuzzdev::Fail("a started device refused a device open", 0, 0);
        }
        std::vector<uint8_t> out(4096 + 1, 0xEE);
        uint32_t returned = 0;
        NTSTATUS status = rig.Io().ControlSync(device, IOCTL_GET_CONFIG_DESCRIPTOR, nullptr, 0, out.data(), 4096,
                                               &returned);
        if (NT_SUCCESS(status)) {
            unsigned total = out[2] | (out[3] << 8);
            if (returned != total || returned > Size || returned > 4096 ||
                !std::equal(out.begin(), out.begin() + returned, Data)) {
                fuzzdev::Fail("stored configuration descriptor differs from the device's", returned, total);
            }
        }
        for (const char16_t *name : {u"PIPE0", u"PIPE1", u"PIPE2", u"PIPE3", u"PIPE4", u"PIPE5"}) {
            vxio::Handle pipe = vxio::kInvalidHandle;
            if (NT_SUCCESS(rig.Open(name, &pipe))) {
                rig.Close(pipe);
            }
        }
        rig.Close(device);
    });
    return 0;
}
