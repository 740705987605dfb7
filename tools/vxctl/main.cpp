// vxctl.exe: the Vextora driver from the Windows command line, through the
// same request layer vxsim drives the simulated machine with.
//
// Built for Windows 2000 and later. CLI11's file validators would bring in
// std::filesystem, which imports what Windows 2000 lacks; vxctl has no use
// for them.
#define CLI11_HAS_FILESYSTEM 0
#include <CLI/CLI.hpp>

#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/vxctl/Commands.h"
#include "tools/vxctl/Console.h"
#include "tools/vxctl/Win32Io.h"
#include "tools/vxctl/WmiCom.h"
#include "tools/common/Requests.h"
#include "tools/common/Scenario.h"
#include "tools/common/UnknownCommand.h"
#include "vextora_version.h"

namespace {

// A size or count as the scenario language writes it (decimal, 0x, K/M).
std::optional<uint32_t> Size(const std::string &word, const char *what)
{
    auto value = vx::ParseNumber(word);
    if (!value || *value > 0xFFFFFFFFull) {
        std::cerr << "vxctl: expected " << what << ", found '" << word << "'\n";
        return std::nullopt;
    }
    return static_cast<uint32_t>(*value);
}

std::optional<unsigned> Pipe(const std::string &word)
{
    if (word.empty())
        return std::nullopt;
    return Size(word, "a pipe index");
}

const char kExitCodes[] = "Exit codes: 0 success, 1 a check failed (a request failed or an expectation did not hold),\n"
                          "2 bad arguments (nothing was sent), 3 no device (none present, or not the one asked for).\n"
                          "/? and -? are --help.";

}  // namespace

int main(int argc, char **argv)
{
    vxctl::ConsoleStreams console;

    // The Windows spellings of a request for help.
    std::vector<char *> args(argv, argv + argc);
    static char help[] = "--help";
    for (char *&arg : args)
        if (std::strcmp(arg, "/?") == 0 || std::strcmp(arg, "-?") == 0)
            arg = help;

    CLI::App app{"vxctl " VEXTORA_VERSION_STRING ": talk to the Vextora USB driver"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "vxctl " VEXTORA_VERSION_STRING);
    app.footer(kExitCodes);
    unsigned device = 0;
    app.add_option("--device", device, "which device, by its index in 'vxctl list' (default 0)");

    app.add_subcommand("list", "list the devices of the Vextora interface class");
    app.add_subcommand("info", "dump the device and configuration descriptors and the strings");

    auto *ioctl = app.add_subcommand("ioctl", "send one control request and show the answer");
    std::string ioctlPipe, ioctlCode, ioctlOut = "0";
    std::vector<std::string> ioctlInput;
    ioctl->add_option("--pipe", ioctlPipe, "send it on a handle of pipe N (default: the device)");
    ioctl->add_option("--out", ioctlOut, "output buffer length (default 0)");
    ioctl->add_option("CODE", ioctlCode, "control code name (GET_DEVICE_DESCRIPTOR, ...) or number")->required();
    ioctl->add_option("INPUT", ioctlInput, "input bytes in hex (02 00 09 04)");

    auto *read = app.add_subcommand("read", "read from a pipe");
    std::string readPipe, readSize, readTo;
    read->add_option("--pipe", readPipe, "pipe index")->required();
    read->add_option("SIZE", readSize, "bytes to read (64K allowed)")->required();
    read->add_option("--to", readTo, "write the data to FILE instead of showing it");

    auto *write = app.add_subcommand("write", "write to a pipe");
    std::string writePipe, writeSize, writeFrom, writePattern = "1";
    write->add_option("--pipe", writePipe, "pipe index")->required();
    auto *sizeOption = write->add_option("SIZE", writeSize, "bytes of a test pattern to write");
    auto *fromOption = write->add_option("--from", writeFrom, "write the contents of FILE");
    write->add_option("--pattern", writePattern, "seed of the test pattern (default 1)");
    sizeOption->excludes(fromOption);

    auto *twice = app.add_subcommand("open-twice", "check that a second handle on the device or a pipe is refused");
    std::string twicePipe;
    twice->add_option("--pipe", twicePipe, "pipe index (default: the device)");

    auto *wmi = app.add_subcommand("wmi", "read or write a WMI property: wmi get|set DebugPrintLevel [VALUE]");
    std::string wmiVerb, wmiProperty, wmiValue;
    wmi->add_option("VERB", wmiVerb, "get or set")->required()->check(CLI::IsMember({"get", "set"}));
    wmi->add_option("PROPERTY", wmiProperty, "the property (DebugPrintLevel)")->required();
    wmi->add_option("VALUE", wmiValue, "the value to set");

    auto *run = app.add_subcommand("run", "run the application steps of a vxsim scenario file");
    std::string runFile;
    run->add_option("FILE", runFile, "the scenario")->required();

    // CLI11's own exit codes (105 and up) become ours; help and --version
    // exit 0.
    try {
        app.parse(static_cast<int>(args.size()), args.data());
    } catch (const CLI::ParseError &error) {
        if (auto unknown = vx::UnknownCommand(app)) {
            std::cerr << "vxctl: " << *unknown << "\n";
            return vxctl::kExitUsage;
        }
        return app.exit(error, std::cout, std::cerr) == 0 ? vxctl::kExitOk : vxctl::kExitUsage;
    }

    vxctl::Win32Io io;
    vxctl::Commands commands(io, std::cout, std::cerr);
    commands.SelectDevice(device);
    commands.SetFailureText(vxctl::Win32FailureText);

    if (app.got_subcommand("list"))
        return commands.List();
    if (app.got_subcommand("info"))
        return commands.Info();
    if (*ioctl) {
        auto out = Size(ioctlOut, "an output length");
        if (!out)
            return vxctl::kExitUsage;
        std::optional<unsigned> pipe;
        if (!ioctlPipe.empty() && !(pipe = Pipe(ioctlPipe)))
            return vxctl::kExitUsage;
        return commands.Ioctl(pipe, ioctlCode, ioctlInput, *out);
    }
    if (*read) {
        auto pipe = Pipe(readPipe);
        auto size = Size(readSize, "a size");
        if (!pipe || !size)
            return vxctl::kExitUsage;
        return commands.Read(*pipe, *size, readTo.empty() ? nullptr : &readTo);
    }
    if (*write) {
        auto pipe = Pipe(writePipe);
        if (!pipe)
            return vxctl::kExitUsage;
        std::vector<uint8_t> data;
        if (!writeFrom.empty()) {
            std::ifstream from(writeFrom, std::ios::binary);
            if (!from) {
                std::cerr << "vxctl: cannot read " << writeFrom << "\n";
                return vxctl::kExitUsage;
            }
            data.assign(std::istreambuf_iterator<char>(from), std::istreambuf_iterator<char>());
        } else if (!writeSize.empty()) {
            auto size = Size(writeSize, "a size");
            auto seed = Size(writePattern, "a pattern seed");
            if (!size || !seed)
                return vxctl::kExitUsage;
            data.resize(*size);
            vx::FillPattern(data, *seed);
        } else {
            std::cerr << "vxctl: write needs SIZE or --from FILE\n";
            return vxctl::kExitUsage;
        }
        return commands.Write(*pipe, data);
    }
    if (*twice) {
        std::optional<unsigned> pipe;
        if (!twicePipe.empty() && !(pipe = Pipe(twicePipe)))
            return vxctl::kExitUsage;
        return commands.OpenTwice(pipe);
    }
    if (*wmi) {
        std::optional<uint32_t> value;
        if (wmiVerb == "set") {
            if (wmiValue.empty()) {
                std::cerr << "vxctl: wmi set needs a value\n";
                return vxctl::kExitUsage;
            }
            if (!(value = Size(wmiValue, "a 32-bit value")))
                return vxctl::kExitUsage;
        } else if (!wmiValue.empty()) {
            std::cerr << "vxctl: wmi get takes no value\n";
            return vxctl::kExitUsage;
        }
        return vxctl::WmiProperty(wmiProperty, value, std::cout, std::cerr);
    }
    if (*run) {
        std::ifstream in(runFile);
        if (!in) {
            std::cerr << "vxctl: cannot read " << runFile << "\n";
            return vxctl::kExitUsage;
        }
        std::stringstream text;
        text << in.rdbuf();
        return commands.Run(text.str(), runFile);
    }
    return vxctl::kExitUsage;
}
