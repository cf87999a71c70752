// Reading the bytes that marshal.dumps(object, 2) makes of plain built-in
// objects. marshal writes only objects of the exact types list, tuple, dict,
// str, int, float (and a few more that no argument holds), refuses instances
// of their subclasses, and runs no Python code while it writes; version 2
// writes every object in full (no references back to earlier ones). Each
// item has a one-byte type code:
//   '[' / '(' list / tuple: a 4-byte count, then the items;
//   '{' dict: key, value, key, value, ..., then '0';
//   'u' str: a 4-byte size, then its code points in UTF-8, where a lone
//       surrogate is written as if it were a character (3 bytes, ED A0..BF);
//   'i' int that fits into 32 bits: 4 bytes ('l' for any other int);
//   'g' float: its 8 bytes.
// All counts and values are little-endian. A read returns false when the next
// item is of another type, or malformed, or the bytes end early.
#ifndef TARVEK_MODULE_MARSHAL_CURSOR_HPP
#define TARVEK_MODULE_MARSHAL_CURSOR_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarvek_module {

// True when `bytes` are well-formed UTF-8 (no surrogates, no overlong forms,
// nothing beyond U+10FFFF): the ids that have a UTF-8 encoding.
bool well_formed_utf8(std::string_view bytes);

class MarshalCursor {
public:
    MarshalCursor(const char* data, std::size_t size) : at_(data), end_(data + size) {}

    // A list or a tuple, and its length.
    bool sequence(std::size_t& length) { return (code('[') || code('(')) && count(length); }
    bool dict() { return code('{'); }
    // Within a dict: true, past it, where its entries end.
    bool dict_end() { return code('0'); }
    // A str with a UTF-8 encoding: its bytes, which live as long as the data.
    bool id(std::string_view& bytes) {
        std::size_t size = 0;
        if (!code('u') || !count(size) || size > left()) return false;
        bytes = {at_, size};
        at_ += size;
        return well_formed_utf8(bytes);
    }
    bool int32(std::int32_t& value) {
        if (!fixed('i', 4)) return false;
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(little_endian(4)));
        return true;
    }
    // A float, or an int of 32 bits (as the double equal to it).
    bool real(double& value) {
        std::int32_t small = 0;
        if (int32(small)) {
            value = small;
            return true;
        }
        if (!fixed('g', 8)) return false;
        const std::uint64_t bits = little_endian(8);
        std::memcpy(&value, &bits, sizeof value);
        return true;
    }
    bool at_end() const { return at_ == end_; }

private:
    std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }
    bool code(char type) {
        if (at_ == end_ || *at_ != type) return false;
        ++at_;
        return true;
    }
    // An item of `type` with `size` bytes after its code: the code is
    // consumed only when the whole item is there.
    bool fixed(char type, std::size_t size) { return left() > size && *at_ == type && code(type); }
    // A count: 4 bytes, never negative.
    bool count(std::size_t& n) {
        if (left() < 4) return false;
        const std::uint64_t value = little_endian(4);
        if (value > 0x7fffffffu) return false;
        n = static_cast<std::size_t>(value);
        return true;
    }
    std::uint64_t little_endian(int bytes) {
        std::uint64_t value = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        std::memcpy(&value, at_, static_cast<std::size_t>(bytes));
#else
        for (int k = bytes - 1; k >= 0; --k) value = value << 8 | static_cast<unsigned char>(at_[k]);
#endif
        at_ += bytes;
        return value;
    }

    const char* at_;
    const char* end_;
};

}  // namespace tarvek_module

#endif  // TARVEK_MODULE_MARSHAL_CURSOR_HPP
