#include "instance.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>

namespace bench {
namespace {

class Tokens {
public:
    explicit Tokens(std::string text) : text_(std::move(text)) {}

    std::string next(const char* what) {
        while (pos_ < text_.size() && is_blank(text_[pos_])) ++pos_;
        if (pos_ == text_.size()) fail(std::string("the file ends where ") + what + " was expected");
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !is_blank(text_[pos_])) ++pos_;
        return text_.substr(start, pos_ - start);
    }

    void expect(const char* word) {
        const std::string got = next(word);
        if (got != word) fail("expected '" + std::string(word) + "', found '" + got + "'");
    }

    std::string id() {
        const std::string token = next("an id");
        if (token.empty() || token[0] != '=') fail("an id must start with '=': '" + token + "'");
        std::string out;
        out.reserve(token.size() - 1);
        for (std::size_t i = 1; i < token.size(); ++i) {
            if (token[i] != '%') {
                out.push_back(token[i]);
                continue;
            }
            if (i + 2 >= token.size()) fail("a cut %XX escape in '" + token + "'");
            const int hi = hex(token[i + 1]);
            const int lo = hex(token[i + 2]);
            if (hi < 0 || lo < 0) fail("a bad %XX escape in '" + token + "'");
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        }
        return out;
    }

    double real() {
        const std::string token = next("a number");
        errno = 0;
        char* end = nullptr;
        const double value = std::strtod(token.c_str(), &end);
        if (end != token.c_str() + token.size()) fail("not a number: '" + token + "'");
        return value;  // ERANGE is fine: the writer only writes exact values
    }

    long long integer() {
        const std::string token = next("an integer");
        errno = 0;
        char* end = nullptr;
        const long long value = std::strtoll(token.c_str(), &end, 10);
        if (errno != 0 || end != token.c_str() + token.size()) fail("not an integer: '" + token + "'");
        return value;
    }

    std::size_t count() {
        const long long value = integer();
        if (value < 0) fail("a negative count");
        return static_cast<std::size_t>(value);
    }

    std::int32_t int32() {
        const long long value = integer();
        if (value < std::numeric_limits<std::int32_t>::min() ||
            value > std::numeric_limits<std::int32_t>::max()) {
            fail("an integer outside 32 bits");
        }
        return static_cast<std::int32_t>(value);
    }

    [[noreturn]] void fail(const std::string& why) const {
        throw std::runtime_error("instance file, byte " + std::to_string(pos_) + ": " + why);
    }

private:
    static bool is_blank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    }

    std::string text_;
    std::size_t pos_ = 0;
};

std::size_t block(std::size_t bytes) { return bytes == 0 ? 0 : ((bytes + 8 + 15) / 16) * 16; }

std::size_t string_bytes(const std::string& s) {
    // Short strings live inside the object (15 bytes in libstdc++).
    return sizeof(std::string) + (s.capacity() > 15 ? block(s.capacity() + 1) : 0);
}

template <class Map, class ValueBytes>
std::size_t map_bytes(const Map& map, ValueBytes value_bytes) {
    // Node: next pointer, key, value, cached hash; plus the bucket array.
    std::size_t total = sizeof(Map) + block(map.bucket_count() * sizeof(void*));
    for (const auto& [key, value] : map) {
        total += block(sizeof(void*) + sizeof(typename Map::value_type) + sizeof(std::size_t));
        total += string_bytes(key) - sizeof(std::string);
        total += value_bytes(value);
    }
    return total;
}

}  // namespace

Instance load_instance(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    Tokens t(std::move(text));
    Instance inst;
    t.expect("tarvek-bench-instance");
    if (t.integer() != 1) t.fail("unknown format version");
    t.expect("budget");
    inst.total_budget = t.real();
    t.expect("voters");
    inst.voters.resize(t.count());
    for (auto& v : inst.voters) v = t.id();
    t.expect("projects");
    inst.projects.resize(t.count());
    for (auto& p : inst.projects) p = t.id();
    t.expect("cost");
    for (std::size_t k = t.count(); k > 0; --k) {
        std::string key = t.id();
        inst.cost.emplace(std::move(key), t.real());
    }
    t.expect("approvers");
    for (std::size_t k = t.count(); k > 0; --k) {
        std::string key = t.id();
        tarvek::SupporterList supporters(t.count());
        for (auto& [voter, utility] : supporters) {
            voter = t.id();
            utility = t.int32();
        }
        inst.approvers.emplace(std::move(key), std::move(supporters));
    }
    t.expect("total_utility");
    for (std::size_t k = t.count(); k > 0; --k) {
        std::string key = t.id();
        inst.total_utility.emplace(std::move(key), t.int32());
    }
    t.expect("end");
    return inst;
}

std::string escape_id(const std::string& id) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(id.size());
    for (const char ch : id) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '%' || c < 0x21 || c >= 0x7f) {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

std::size_t estimate_bytes(const Instance& inst) {
    std::size_t total = 0;
    for (const auto* list : {&inst.voters, &inst.projects}) {
        total += sizeof(*list) + block(list->capacity() * sizeof(std::string));
        for (const auto& s : *list) total += string_bytes(s) - sizeof(std::string);
    }
    total += map_bytes(inst.cost, [](double) { return std::size_t{0}; });
    total += map_bytes(inst.total_utility, [](std::int32_t) { return std::size_t{0}; });
    total += map_bytes(inst.approvers, [](const tarvek::SupporterList& list) {
        std::size_t bytes = block(list.capacity() * sizeof(tarvek::Supporter));
        for (const auto& entry : list) bytes += string_bytes(entry.first) - sizeof(std::string);
        return bytes;
    });
    return total;
}

}  // namespace bench
