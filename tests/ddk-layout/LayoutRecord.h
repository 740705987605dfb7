// One line of a structure-layout table: a size, a field offset or the bit of
// a one-bit field, under the name Fields.inc gives it. The DDK's table is
// compiled by mingw-w64 into an object file section of these records, and
// the simulator's test reads it back byte for byte, so the record holds no
// pointer and has the same size on both compilers.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace ddklayout {

enum RecordKind : uint32_t { kSize = 0, kOffset = 1, kBit = 2 };

struct Record {
    char Name[112];
    uint32_t Kind;
    uint32_t Value;
};
static_assert(sizeof(Record) == 120, "a record has the same size on both compilers");

// The bit a one-bit field occupies in an object made by Make (every other
// bit clear), counted from the object's first byte; ~0u when none is set.
template <size_t N>
constexpr uint32_t FirstSetBit(const unsigned char (&Bytes)[N])
{
    for (uint32_t i = 0; i < N; ++i) {
        for (uint32_t b = 0; b < 8; ++b) {
            if ((Bytes[i] >> b) & 1u) {
                return i * 8 + b;
            }
        }
    }
    return ~0u;
}

// An object's bytes, as __builtin_bit_cast gives them in a constant
// expression.
template <class T> struct Bytes {
    unsigned char Value[sizeof(T)];
};

// The bit Set sets in an object of type T that is otherwise zero.
template <class T, class Setter> constexpr uint32_t BitOf(Setter Set)
{
    T object{};
    Set(object);
    return FirstSetBit(__builtin_bit_cast(Bytes<T>, object).Value);
}

}  // namespace ddklayout

// The table's records, one per line of Fields.inc, in order.
#define VX_SIZE(T) {#T, ::ddklayout::kSize, static_cast<uint32_t>(sizeof(T))},
#define VX_FIELD(T, F) {#T "." #F, ::ddklayout::kOffset, static_cast<uint32_t>(__builtin_offsetof(T, F))},
#define VX_BIT(T, F) \
    {#T "." #F, ::ddklayout::kBit, ::ddklayout::BitOf<T>([](T &Object) constexpr { Object.F = 1; })},
