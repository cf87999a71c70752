#include "id_index.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace tarvek {
namespace {

std::size_t table_size_for(std::size_t ids) {
    // More ids than 32-bit indices number can never be held.
    if (ids > std::size_t{1} << 32) throw std::length_error("too many ids");
    std::size_t size = 16;
    while (size / 2 < ids) size *= 2;
    return size;
}

// Long ids are rare (most voter ids are short numbers), so their copies are
// packed into blocks of this size, one allocation per block.
constexpr std::size_t kBlock = 64 * 1024;

}  // namespace

IdIndex::IdIndex(std::size_t expected) : slots_(table_size_for(expected), Slot{0, kEmpty, 0, {}}) {}

void IdIndex::reserve(std::size_t expected) {
    const std::size_t size = table_size_for(expected);
    if (slots_.size() < size) rehash(size);
}

const char* IdIndex::data_of(const Slot& slot) {
    if (slot.length <= kInline) return slot.bytes;
    const char* data;
    std::memcpy(&data, slot.bytes, sizeof data);
    return data;
}

bool IdIndex::holds(const Slot& slot, std::uint32_t tag, std::string_view id) {
    if (slot.tag != tag || slot.length != id.size()) return false;
    if (id.size() > kInline) return std::memcmp(data_of(slot), id.data(), id.size()) == 0;
    // A short id: a plain loop beats a library call.
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (slot.bytes[i] != id[i]) return false;
    }
    return true;
}

std::uint64_t IdIndex::hash(std::string_view id) { return std::hash<std::string_view>{}(id); }

std::uint32_t IdIndex::find(std::string_view id) const {
    const std::uint64_t full_hash = hash(id);
    const auto tag = static_cast<std::uint32_t>(full_hash >> 32);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = full_hash & mask;; at = (at + 1) & mask) {
        const Slot& slot = slots_[at];
        if (slot.index == kEmpty) return kMissing;
        if (holds(slot, tag, id)) return slot.index;
    }
}

std::uint32_t IdIndex::insert(std::string_view id, std::uint64_t full_hash) {
    const auto tag = static_cast<std::uint32_t>(full_hash >> 32);
    const std::size_t mask = slots_.size() - 1;
    // The slot's position comes from the low half, the stored tag from the
    // high half, so ids that meet in a slot rarely share a tag.
    for (std::size_t at = full_hash & mask;; at = (at + 1) & mask) {
        const Slot& slot = slots_[at];
        if (slot.index == kEmpty) break;
        if (holds(slot, tag, id)) return slot.index;
    }
    // Indices and lengths are 32-bit; kEmpty itself is never handed out.
    if (size_ >= kEmpty || id.size() >= kEmpty) throw std::length_error("too many or too long ids");
    const auto index = static_cast<std::uint32_t>(size_++);
    if (size_ > slots_.size() / 2) grow();
    Slot slot{tag, index, static_cast<std::uint32_t>(id.size()), {}};
    if (id.size() <= kInline) {
        std::memcpy(slot.bytes, id.data(), id.size());
    } else {
        const char* data = keep(id);
        std::memcpy(slot.bytes, &data, sizeof data);
    }
    place(slot, full_hash);
    return index;
}

const char* IdIndex::keep(std::string_view id) {
    if (id.size() > block_left_) {
        const std::size_t size = std::max(kBlock, id.size());
        long_ids_.emplace_back(new char[size]);
        block_free_ = long_ids_.back().get();
        block_left_ = size;
    }
    char* copy = block_free_;
    std::memcpy(copy, id.data(), id.size());
    block_free_ += id.size();
    block_left_ -= id.size();
    return copy;
}

void IdIndex::place(const Slot& slot, std::uint64_t position_hash) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = position_hash & mask;
    while (slots_[at].index != kEmpty) at = (at + 1) & mask;
    slots_[at] = slot;
}

void IdIndex::grow() { rehash(slots_.size() * 2); }

// Moves every id into a table of `size` slots, in one step whatever the
// growth: reserving room for many ids allocates and fills one table.
void IdIndex::rehash(std::size_t size) {
    std::vector<Slot> old(size, Slot{0, kEmpty, 0, {}});
    old.swap(slots_);
    for (const Slot& slot : old) {
        if (slot.index != kEmpty) {
            place(slot, hash({data_of(slot), slot.length}));
        }
    }
}

}  // namespace tarvek
