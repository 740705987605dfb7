// vxctl's text on a Windows console. Everything vxctl prints is UTF-8 (device
// strings, link names, the system's error texts); a console shows the bytes
// in its own code page, so while it lives this object sends std::cout and
// std::cerr that go to a console through WriteConsoleW instead. Output
// redirected to a file or a pipe stays UTF-8, byte for byte. Windows builds
// only.
#pragma once

#include <memory>
#include <streambuf>

namespace vxctl {

class ConsoleStreams {
public:
    ConsoleStreams();
    // Flushes and gives the streams their own buffers back.
    ~ConsoleStreams();
    ConsoleStreams(const ConsoleStreams &) = delete;
    ConsoleStreams &operator=(const ConsoleStreams &) = delete;

private:
    std::unique_ptr<std::streambuf> out_;
    std::unique_ptr<std::streambuf> err_;
    std::streambuf *savedOut_ = nullptr;
    std::streambuf *savedErr_ = nullptr;
};

}  // namespace vxctl
