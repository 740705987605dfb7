// libFuzzer target: file names under the device's interface, through the
// I/O manager's create into the driver's pipe-name parsing. Whatever the
// name, the open succeeds or fails with a status; a handle that opened
// takes a descriptor read and a pipe reset and closes; nothing leaks.
#include "tests/fuzz/FuzzDevice.h"

#include "include/vextora.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    std::u16string name;
    for (size_t i = 0; i + 1 < Size; i += 2) {
        name.push_back(static_cast<char16_t>(Data[i] | (Data[i + 1] << 8)));
    }
    fuzzdev::Answers answers;
    fuzzdev::RunDevice(answers, [&](lowres::Rig &rig) {
        vxio::Handle handle = vxio::kInvalidHandle;
        NTSTATUS status = rig.Open(name, &handle);
        if (status == STATUS_PENDING) {
            fuzzdev::Fail("create answered STATUS_PENDING", status, 0);
        }
        if (NT_SUCCESS(status)) {
            // No transfer here: a write on a handle whose name maps to an IN
            // pipe becomes an IN transfer that waits for data forever.
            std::vector<uint8_t> out(512);
            uint32_t config = 0;
            NTSTATUS query = rig.Io().ControlSync(handle, IOCTL_GET_CONFIG_DESCRIPTOR, nullptr, 0, out.data(),
                                                  static_cast<uint32_t>(out.size()), &config);
            if (NT_SUCCESS(query) && config > out.size()) {
                fuzzdev::Fail("configuration read returned more than its buffer", config, 512);
            }
            uint32_t returned = 0;
            (void)rig.Io().ControlSync(handle, IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0, &returned);
            rig.Close(handle);
        }
    });
    return 0;
}
