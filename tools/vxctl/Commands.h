// What vxctl does, over any vxio::DeviceIo: the Win32 backend in vxctl.exe,
// a hand-written fake in the tests. Output goes to `out` in the
// request layer's words, line for line what vxsim prints for the same
// request (without vxsim's clock column); problems go to `err`.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/IoManagerApi.h"

namespace vxctl {

// Exit codes of every command.
enum Exit : int {
    kExitOk = 0,
    kExitFailed = 1,    // a request failed, or an expectation did not hold
    kExitUsage = 2,     // bad arguments or input: nothing was sent
    kExitNoDevice = 3,  // no device of the interface class (or not the one asked for)
};

// What the console shows beside the name of a failed status. vxctl.exe
// gives the Win32 error an application sees for it (GetLastError) and that
// error's text; by default nothing is added.
using FailureText = std::function<std::string(vxio::Status)>;

class Commands {
public:
    Commands(vxio::DeviceIo &io, std::ostream &out, std::ostream &err) : io_(io), out_(out), err_(err) {}

    // Selects the device (index into List's order) the other commands use.
    void SelectDevice(unsigned index) { device_ = index; }
    void SetFailureText(FailureText text) { failureText_ = std::move(text); }

    int List();
    // Device descriptor, configuration tree, LANGIDs and every string the
    // device descriptor names, read through the driver's control requests.
    int Info();
    // One control request on the device (no pipe) or a pipe handle; `code` is
    // a name with or without IOCTL_ or a number, `hex` the input bytes.
    int Ioctl(std::optional<unsigned> pipe, const std::string &code, const std::vector<std::string> &hex,
              uint32_t outLength);
    // Reads `size` bytes from a pipe; the bytes go to the file `toPath`
    // when given, else a hex preview is printed. The file is checked for
    // writing before anything is read (kExitUsage when it cannot be, so no
    // data is taken from the device for nothing) and is left as it was, or
    // not created, when the read fails.
    int Read(unsigned pipe, uint32_t size, const std::string *toPath);
    int Write(unsigned pipe, const std::vector<uint8_t> &data);
    // Opens the device or pipe, then tries a second handle on it while the
    // first is open: success means the second open was refused with
    // STATUS_ACCESS_DENIED.
    int OpenTwice(std::optional<unsigned> pipe);
    // Runs the application's steps of a scenario through the layer vxsim
    // runs them with (open, close, read, also asynchronous, wait, write,
    // cancel, ioctl, echo, repeat) and prints what vxsim prints for each;
    // `plug` selects the present device (kExitNoDevice when there is none);
    // the steps that need a simulated machine are refused with their file
    // and line.
    int Run(const std::string &text, const std::string &fileName);

private:
    std::optional<std::u16string> Link();
    vxio::Status OpenOn(const std::u16string &link, std::optional<unsigned> pipe, vxio::Handle *handle);
    std::string PipeLabel(std::optional<unsigned> pipe) const;
    // The status name, and for a failure what failureText_ adds.
    std::string Outcome(vxio::Status status) const;
    // " (what failureText_ says)" for a failure, else nothing.
    std::string Explained(vxio::Status status) const;

    vxio::DeviceIo &io_;
    std::ostream &out_;
    std::ostream &err_;
    unsigned device_ = 0;
    FailureText failureText_;
};

}  // namespace vxctl
