// Runs tshark over a capture file and returns its verbose decoding.
#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace usbtest {

inline bool HaveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

inline std::string RunTshark(const std::filesystem::path &file)
{
    const std::string cmd = "tshark -r '" + file.string() + "' -V 2>&1";
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(cmd.c_str(), "r"), pclose);
    std::string out;
    if (!pipe) {
        return out;
    }
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe.get())) > 0) {
        out.append(buf.data(), n);
    }
    return out;
}

}  // namespace usbtest
