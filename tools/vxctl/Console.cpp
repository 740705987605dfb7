#include "tools/vxctl/Console.h"

#include <windows.h>

#include <iostream>
#include <string>

#include "tools/vxctl/Utf16Text.h"

namespace vxctl {
namespace {

// Collects UTF-8 and writes it to the console as UTF-16 when flushed or
// when enough has gathered; a sequence split between two writes is kept
// until its end arrives.
class ConsoleBuffer final : public std::streambuf {
public:
    explicit ConsoleBuffer(HANDLE console) : console_(console) {}
    ~ConsoleBuffer() override
    {
        Flush();
        if (!pending_.empty()) {
            const wchar_t replacement = 0xFFFD;
            DWORD written = 0;
            WriteConsoleW(console_, &replacement, 1, &written, nullptr);
        }
    }

protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        pending_ += traits_type::to_char_type(c);
        if (pending_.size() >= kFlushAt)
            Flush();
        return c;
    }
    std::streamsize xsputn(const char *text, std::streamsize count) override
    {
        pending_.append(text, static_cast<size_t>(count));
        if (pending_.size() >= kFlushAt)
            Flush();
        return count;
    }
    int sync() override
    {
        Flush();
        return 0;
    }

private:
    static constexpr size_t kFlushAt = 4096;

    void Flush()
    {
        std::u16string wide;
        pending_.erase(0, AppendUtf16(pending_, wide));
        const auto *at = reinterpret_cast<const wchar_t *>(wide.data());
        size_t left = wide.size();
        while (left > 0) {
            DWORD written = 0;
            const DWORD chunk = left > 8192 ? 8192 : static_cast<DWORD>(left);
            if (!WriteConsoleW(console_, at, chunk, &written, nullptr) || written == 0)
                return;
            at += written;
            left -= written;
        }
    }

    HANDLE console_;
    std::string pending_;
};

// The console behind a standard handle, or null when it is redirected.
HANDLE ConsoleOf(DWORD which)
{
    HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !GetConsoleMode(handle, &mode))
        return nullptr;
    return handle;
}

}  // namespace

ConsoleStreams::ConsoleStreams()
{
    if (HANDLE console = ConsoleOf(STD_OUTPUT_HANDLE)) {
        std::cout.flush();
        out_ = std::make_unique<ConsoleBuffer>(console);
        savedOut_ = std::cout.rdbuf(out_.get());
    }
    if (HANDLE console = ConsoleOf(STD_ERROR_HANDLE)) {
        std::cerr.flush();
        err_ = std::make_unique<ConsoleBuffer>(console);
        savedErr_ = std::cerr.rdbuf(err_.get());
    }
}

ConsoleStreams::~ConsoleStreams()
{
    if (out_) {
        std::cout.flush();
        std::cout.rdbuf(savedOut_);
    }
    if (err_) {
        std::cerr.flush();
        std::cerr.rdbuf(savedErr_);
    }
}

}  // namespace vxctl
