// A progress bar on standard error, drawn only when standard error is a
// terminal (a log or a pipe gets none of it).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace vx {

class ProgressBar {
public:
    explicit ProgressBar(bool wanted) : shown_(wanted && isatty(STDERR_FILENO)) {}
    ~ProgressBar() { Clear(); }
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    void Show(uint64_t done, uint64_t total)
    {
        if (!shown_)
            return;
        const int width = 40;
        const int filled = total != 0 ? static_cast<int>(width * std::min(done, total) / total) : width;
        std::fprintf(stderr, "\r[%-*s] %llu/%llu", width, std::string(filled, '#').c_str(),
                     static_cast<unsigned long long>(std::min(done, total)), static_cast<unsigned long long>(total));
        std::fflush(stderr);
        drawn_ = true;
    }
    void Clear()
    {
        if (drawn_)
            std::fprintf(stderr, "\r%*s\r", 70, "");
        drawn_ = false;
    }

private:
    bool shown_;
    bool drawn_ = false;
};

}  // namespace vx
