#include "key_order.hpp"

#include <algorithm>

namespace tarvek {

void KeyOrder::start(const std::uint64_t* keys, std::size_t n) {
    by_class_ = false;
    groups_.clear();
    next_.resize(n);
    at_ = kNone;
    if (n == 0) return;
    // The positions of the smallest key (often many: all who have run out of
    // money) form one list, walked first; each other position is a group of
    // its own, in a heap built only when the walk gets that far.
    const std::uint64_t smallest = *std::min_element(keys, keys + n);
    // Filled field by field: a whole Group stored at once would be built on
    // the stack first, and reading it back stalls on every element.
    groups_.resize(n);
    std::size_t count = 0;
    std::uint32_t last = kNone;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (keys[i] == smallest) {
            if (last == kNone) at_ = i; else next_[last] = i;
            last = i;
        } else {
            Group& g = groups_[count++];
            g.key = keys[i];
            g.first = i;
            g.last = i;
            next_[i] = kNone;
        }
    }
    groups_.resize(count);
    next_[last] = kNone;
    heap_ready_ = false;
}

void KeyOrder::start_by_class(const std::uint32_t* classes, std::size_t n,
                              const std::vector<std::uint64_t>& class_key) {
    if (group_of_.size() < class_key.size()) group_of_.resize(class_key.size(), kNone);
    by_class_ = true;
    groups_.clear();
    next_.resize(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t c = classes[i];
        const std::uint32_t group = group_of_[c];
        if (group == kNone) {
            group_of_[c] = static_cast<std::uint32_t>(groups_.size());
            classes_seen_.push_back(c);
            Group& g = groups_.emplace_back();
            g.key = class_key[c];
            g.first = i;
            g.last = i;
        } else {
            // Positions come in ascending order, so appending keeps list order.
            next_[groups_[group].last] = i;
            groups_[group].last = i;
        }
    }
    for (const std::uint32_t c : classes_seen_) group_of_[c] = kNone;
    classes_seen_.clear();
    for (const Group& g : groups_) next_[g.last] = kNone;

    std::make_heap(groups_.begin(), groups_.end(), Later{});
    heap_ready_ = true;
    at_ = kNone;
}

void KeyOrder::take_next_key() {
    if (!heap_ready_) {
        std::make_heap(groups_.begin(), groups_.end(), Later{});
        heap_ready_ = true;
    }
    std::pop_heap(groups_.begin(), groups_.end(), Later{});
    const Group group = groups_.back();
    groups_.pop_back();
    at_ = group.first;
    if (!by_class_ || groups_.empty() || groups_.front().key != group.key) return;
    // Classes that share this key: their positions are merged into one list
    // in ascending order, as equal keys must be walked. (Groups of single
    // positions come off the heap in that order already.)
    merged_.clear();
    for (std::uint32_t p = group.first; p != kNone; p = next_[p]) merged_.push_back(p);
    while (!groups_.empty() && groups_.front().key == group.key) {
        std::pop_heap(groups_.begin(), groups_.end(), Later{});
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
