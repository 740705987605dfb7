// UTF-8 to UTF-16, a piece at a time: what vxctl writes to a Windows console
// (WriteConsoleW) from the UTF-8 text its commands produce. Plain C++ so that
// the simulator build tests it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vxctl {

// Appends the UTF-16 form of the complete UTF-8 sequences at the start of
// `text` to `out` and returns how many bytes of `text` it used. A sequence
// cut off at the end of `text` is not used: pass it again with what follows.
// A malformed byte (a stray continuation byte, an overlong form, a
// surrogate, a value beyond U+10FFFF, a sequence broken off early) becomes
// one U+FFFD.
std::size_t AppendUtf16(std::string_view text, std::u16string &out);

}  // namespace vxctl
