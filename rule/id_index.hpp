// Dense indices for ids: the first id seen gets 0, the next new one 1, and so
// on. Converting an election looks up every supporter entry (hundreds of
// thousands in a big city), so this is an open-addressing table that keeps
// each id's hash beside it: a probe compares hashes and reads an id's bytes
// only on a match, with no node per id to allocate or chase.
#ifndef TARVEK_ID_INDEX_HPP
#define TARVEK_ID_INDEX_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace tarvek {

class IdIndex {
public:
    static constexpr std::uint32_t kMissing = ~std::uint32_t{0};

    // Room for `expected` ids before the table grows.
    explicit IdIndex(std::size_t expected = 0);
    void reserve(std::size_t expected);

    // The index of `id`, which is given the next index when it is new. The
    // table keeps its own copy of the bytes.
    std::uint32_t insert(std::string_view id) { return insert(id, hash(id)); }
    // The index of `id`, or kMissing.
    std::uint32_t find(std::string_view id) const;

    // The same in two steps, for a batch of lookups: hash and prefetch all
    // of them first, so that their memory accesses overlap, then insert
    // each with its hash.
    static std::uint64_t hash(std::string_view id);
    void prefetch(std::uint64_t hash) const {
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
#else
        (void)hash;
#endif
    }
    std::uint32_t insert(std::string_view id, std::uint64_t hash);

    std::size_t size() const { return size_; }

private:
    // A cache line holds two whole slots. Ids of up to kInline bytes (voter
    // ids mostly are short numbers) are kept in the slot itself, so that a
    // lookup reads one slot and no other memory; longer ones are copied into
    // `long_ids_` and the slot keeps a pointer to the copy.
    static constexpr std::size_t kInline = 20;
    struct alignas(32) Slot {
        std::uint32_t tag;     // the high half of the id's hash
        std::uint32_t index;   // kEmpty when the slot is free
        std::uint32_t length;
        char bytes[kInline];   // the id, or a pointer to it
    };
    static constexpr std::uint32_t kEmpty = kMissing;

    static const char* data_of(const Slot& slot);
    static bool holds(const Slot& slot, std::uint32_t tag, std::string_view id);
    void place(const Slot& slot, std::uint64_t position_hash);
    void grow();
    void rehash(std::size_t size);
    const char* keep(std::string_view id);

    std::vector<Slot> slots_;  // a power of two, at most half full
    std::size_t size_ = 0;
    // Copies of the long ids, in blocks that never move.
    std::vector<std::unique_ptr<char[]>> long_ids_;
    char* block_free_ = nullptr;
    std::size_t block_left_ = 0;
};

}  // namespace tarvek

#endif  // TARVEK_ID_INDEX_HPP
