// The supporters of one evaluation of the range run, in its guide order:
// lower end of the key first (NaN keys last), equal guides in list order.
//
// Supporters of one money class and one utility hold equal money under every
// budget of the range, so their keys are equal: such a group has one place in
// the heap, held by its first member not yet taken, and its members leave it
// in list order. The order in which positions come out is the order a heap
// of every supporter would give (the least guide, then the least position,
// of all supporters not yet taken is the first member of some group), while
// the heap holds a group per entry: on the elections at hand ten to a
// hundred times fewer entries than supporters.
#ifndef TARVEK_SUPPORTER_HEAP_HPP
#define TARVEK_SUPPORTER_HEAP_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "class_utility_ids.hpp"
#include "election.hpp"

namespace tarvek {

class SupporterHeap {
public:
    // The supporters at positions 0 .. count - 1, of money class class_of(p)
    // (below class_count) and utility utility_of(p) (a whole number), whose
    // group's place is given by guide_of(p) of its first member: {guide, nan}.
    template <class ClassOf, class UtilityOf, class GuideOf>
    void fill(std::size_t count, std::uint32_t class_count, ClassOf class_of, UtilityOf utility_of,
              GuideOf guide_of);

    bool empty() const { return heap_.empty(); }
    // Takes the next supporter; its position.
    Index pop();
    // Calls visit(position) for every supporter not yet taken, but, where
    // `skip_after` is set, those of the groups whose key is NaN or has a
    // lower end above `above`: every entry below such a group in the heap
    // comes after it, so the whole subtree is skipped at once.
    template <class Visit>
    void for_each_remaining(bool skip_after, double above, Visit visit) {
        if (heap_.empty()) return;
        pending_.clear();
        pending_.push_back(0);
        while (!pending_.empty()) {
            const std::size_t at = pending_.back();
            pending_.pop_back();
            const Entry& entry = heap_[at];
            if (skip_after && (entry.nan || entry.guide > above)) continue;
            const Group& group = groups_[entry.group];
            for (std::size_t m = group.next; m < group.end; ++m) visit(positions_[m]);
            for (std::size_t child = 2 * at + 1; child <= 2 * at + 2; ++child) {
                if (child < heap_.size()) pending_.push_back(child);
            }
        }
    }

private:
    struct Entry {
        double guide;    // lower end of the key, NaN as +infinity: only a guide
        bool nan;
        Index position;  // the group's first member not yet taken
        Index group;
    };
    struct After {
        bool operator()(const Entry& x, const Entry& y) const {
            if (x.nan != y.nan) return x.nan;
            return x.guide > y.guide || (x.guide == y.guide && x.position > y.position);
        }
    };
    // A group's members not yet taken: positions_[next, end), ascending.
    struct Group {
        std::size_t next;
        std::size_t end;
    };
    void sift_down_top();

    std::vector<Entry> heap_;
    std::vector<Group> groups_;
    std::vector<Index> positions_;
    std::vector<Index> group_of_;  // per position
    std::vector<std::size_t> pending_;  // heap entries still to visit
    ClassUtilityIds group_ids_;  // per fill: the group of each pair
};

template <class ClassOf, class UtilityOf, class GuideOf>
void SupporterHeap::fill(std::size_t count, std::uint32_t class_count, ClassOf class_of,
                         UtilityOf utility_of, GuideOf guide_of) {
    group_ids_.start_pass(class_count);
    groups_.clear();
    group_of_.resize(count);
    const auto new_group = [&] {
        groups_.push_back({0, 0});
        return static_cast<Index>(groups_.size() - 1);
    };
    for (std::size_t p = 0; p < count; ++p) {
        const Index group = group_ids_.id(class_of(p), utility_of(p), new_group);
        group_of_[p] = group;
        ++groups_[group].end;  // counts the members first
    }
    std::size_t offset = 0;
    for (Group& group : groups_) {
        const std::size_t size = group.end;
        group = {offset, offset};
        offset += size;
    }
    positions_.resize(count);
    for (std::size_t p = 0; p < count; ++p) positions_[groups_[group_of_[p]].end++] = static_cast<Index>(p);
    heap_.clear();
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        const Index first = positions_[groups_[g].next];
        const auto guide = guide_of(first);
        heap_.push_back({guide.first, guide.second, first, static_cast<Index>(g)});
    }
    std::make_heap(heap_.begin(), heap_.end(), After{});
}

// Restores the heap after its top entry moved later in the order. The
// order in which entries come out does not depend on the heap's layout:
// (guide, position) orders them strictly.
inline void SupporterHeap::sift_down_top() {
    const After after;
    const std::size_t size = heap_.size();
    const Entry moved = heap_.front();
    std::size_t at = 0;
    for (;;) {
        std::size_t child = 2 * at + 1;
        if (child >= size) break;
        if (child + 1 < size && after(heap_[child], heap_[child + 1])) ++child;
        if (!after(moved, heap_[child])) break;
        heap_[at] = heap_[child];
        at = child;
    }
    heap_[at] = moved;
}

inline Index SupporterHeap::pop() {
    Entry& top = heap_.front();
    const Index position = top.position;
    Group& group = groups_[top.group];
    if (++group.next < group.end) {
        // The group's next member: the same key, a later position, in the
        // top's place; it mostly stays there.
        top.position = positions_[group.next];
        sift_down_top();
    } else {
        std::pop_heap(heap_.begin(), heap_.end(), After{});
        heap_.pop_back();
    }
    return position;
}

}  // namespace tarvek

#endif  // TARVEK_SUPPORTER_HEAP_HPP
