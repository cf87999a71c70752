#include "marshal_cursor.hpp"

#include <cstdint>
#include <cstring>

namespace tarvek_module {

namespace {

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed sequence that starts with `lead` and whose
// second byte is `second`, or 0. The ranges of the second byte exclude
// overlong forms (E0, F0), surrogates (ED) and code points beyond U+10FFFF (F4).
std::size_t sequence_length(unsigned char lead, unsigned char second) {
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(second) ? 2 : 0;
    if (lead == 0xE0) return second >= 0xA0 && second <= 0xBF ? 3 : 0;
    if (lead == 0xED) return second >= 0x80 && second <= 0x9F ? 3 : 0;
    if (lead >= 0xE1 && lead <= 0xEF) return continuation(second) ? 3 : 0;
    if (lead == 0xF0) return second >= 0x90 && second <= 0xBF ? 4 : 0;
    if (lead == 0xF4) return second >= 0x80 && second <= 0x8F ? 4 : 0;
    if (lead >= 0xF1 && lead <= 0xF3) return continuation(second) ? 4 : 0;
    return 0;
}

}  // namespace

bool well_formed_utf8(std::string_view bytes) {
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* const end = at + bytes.size();
    // Eight ASCII bytes at a time: ids are mostly ASCII.
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    for (std::uint64_t word = 0; end - at >= 8; at += 8) {
        std::memcpy(&word, at, sizeof word);
        if ((word & kHighBits) != 0) break;
    }
    while (at < end) {
        if (*at < 0x80) {
            ++at;
            continue;
        }
        if (end - at < 2) return false;
        const std::size_t length = sequence_length(at[0], at[1]);
        if (length == 0 || static_cast<std::size_t>(end - at) < length) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if (!continuation(at[k])) return false;
        }
        at += length;
    }
    return true;
}

}  // namespace tarvek_module
