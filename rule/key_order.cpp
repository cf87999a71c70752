#include "key_order.hpp"

#include <algorithm>

namespace tarvek {

// Linear probing; the multiplier (2^64 over the golden ratio) spreads keys
// that differ only in low mantissa bits.
std::size_t KeyIds::slot_of(std::uint64_t key) const {
    const std::size_t mask = table_.size() - 1;
    std::size_t at = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
    while (table_[at].id != kNone && table_[at].key != key) at = (at + 1) & mask;
    return at;
}

std::uint32_t KeyIds::id_of(std::uint64_t key) {
    if (table_.empty()) table_.assign(kFirstTable, Slot{0, kNone});
    const std::size_t at = slot_of(key);
    if (table_[at].id != kNone) return table_[at].id;
    const auto id = static_cast<std::uint32_t>(keys_.size());
    table_[at] = {key, id};
    used_slots_.push_back(at);
    keys_.push_back(key);
    if (2 * keys_.size() > table_.size()) grow();
    return id;
}

void KeyIds::grow() {
    table_.assign(2 * table_.size(), Slot{0, kNone});
    for (std::uint32_t id = 0; id < keys_.size(); ++id) {
        const std::size_t at = slot_of(keys_[id]);
        table_[at] = {keys_[id], id};
        used_slots_[id] = at;
    }
}

void KeyIds::clear() {
    for (const std::size_t at : used_slots_) table_[at].id = kNone;
    used_slots_.clear();
    keys_.clear();
}

void KeyOrder::start(const std::uint64_t* keys, std::size_t n) {
    key_ids_.clear();
    ids_.resize(n);
    for (std::size_t i = 0; i < n; ++i) ids_[i] = key_ids_.id_of(keys[i]);
    start_by_class(ids_.data(), n, key_ids_.keys());
}

void KeyOrder::start_by_class(const std::uint32_t* classes, std::size_t n,
                              const std::vector<std::uint64_t>& class_key) {
    if (group_of_.size() < class_key.size()) group_of_.resize(class_key.size(), kNone);
    groups_.clear();
    next_.resize(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t c = classes[i];
        const std::uint32_t group = group_of_[c];
        if (group == kNone) {
            group_of_[c] = static_cast<std::uint32_t>(groups_.size());
            classes_seen_.push_back(c);
            groups_.push_back({class_key[c], i, i});
        } else {
            // Positions come in ascending order, so appending keeps list order.
            next_[groups_[group].last] = i;
            groups_[group].last = i;
        }
    }
    for (const std::uint32_t c : classes_seen_) group_of_[c] = kNone;
    classes_seen_.clear();
    for (const Group& g : groups_) next_[g.last] = kNone;

    std::make_heap(groups_.begin(), groups_.end(), LargerKey{});
    at_ = kNone;
}

void KeyOrder::take_next_key() {
    std::pop_heap(groups_.begin(), groups_.end(), LargerKey{});
    const Group group = groups_.back();
    groups_.pop_back();
    at_ = group.first;
    if (groups_.empty() || groups_.front().key != group.key) return;
    // Classes that share this key: their positions are merged into one list
    // in ascending order, as equal keys must be walked.
    merged_.clear();
    for (std::uint32_t p = group.first; p != kNone; p = next_[p]) merged_.push_back(p);
    while (!groups_.empty() && groups_.front().key == group.key) {
        std::pop_heap(groups_.begin(), groups_.end(), LargerKey{});
        for (std::uint32_t p = groups_.back().first; p != kNone; p = next_[p]) merged_.push_back(p);
        groups_.pop_back();
    }
    std::sort(merged_.begin(), merged_.end());
    for (std::size_t j = 0; j + 1 < merged_.size(); ++j) next_[merged_[j]] = merged_[j + 1];
    next_[merged_.back()] = kNone;
    at_ = merged_.front();
}

std::uint32_t KeyOrder::next() {
    if (at_ == kNone) take_next_key();
    const std::uint32_t position = at_;
    at_ = next_[position];
    return position;
}

}  // namespace tarvek
