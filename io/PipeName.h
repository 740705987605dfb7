// The pipe-name rule: which pipe index a handle's file name denotes.
//
// Plain code without platform types, so that it runs unchanged in the kernel
// image and in host-side tests and fuzzers.
#pragma once

// What a file name says about a pipe index. Found is false when the name holds
// no decimal digit; Value is then 0.
struct PipeNameIndex {
    bool Found;
    unsigned int Value;
};

// Reads the last run of decimal digits ('0'..'9', 16-bit values 0x30..0x39;
// digits of other scripts do not count) of a name of Count characters. The
// value wraps modulo 2^32, so a run of any length is accepted; leading zeros
// and everything outside the run are ignored. Chars may be NULL when Count is
// 0. Any IRQL; touches nothing but the characters.
template <typename Char> constexpr PipeNameIndex PipeIndexFromName(const Char *Chars, unsigned int Count)
{
    auto isDigit = [](Char c) {
        return static_cast<unsigned int>(c) >= 0x30u && static_cast<unsigned int>(c) <= 0x39u;
    };
    unsigned int end = Count;
    while (end > 0 && !isDigit(Chars[end - 1])) {
        --end;
    }
    if (end == 0) {
        return PipeNameIndex{false, 0};
    }
    // unsigned arithmetic: value and weight wrap modulo 2^32 as intended
    unsigned int value = 0;
    unsigned int weight = 1;
    for (unsigned int i = end; i > 0 && isDigit(Chars[i - 1]); --i) {
        value += (static_cast<unsigned int>(Chars[i - 1]) - 0x30u) * weight;
        weight *= 10u;
    }
    return PipeNameIndex{true, value};
}
