// The order in which an evaluation meets a candidate's supporters: by key
// (money / utility), smallest first, equal keys in list order.
#ifndef TARVEK_KEY_ORDER_HPP
#define TARVEK_KEY_ORDER_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tarvek {

// An integer with the order of the key `money / utility`: -0 and +0 alike,
// every NaN last and equal to each other (after +infinity).
inline std::uint64_t key_order(double key) {
    // Adding +0 turns -0 into +0 and leaves every other value as it is.
    const double value = key + 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    // Flipping every bit of a negative and the sign bit of a positive double
    // makes unsigned integer order agree with the order of the values.
    // Without branches: the sign of a key is hard to predict.
    constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
    const std::uint64_t flip = (std::uint64_t{0} - (bits >> 63)) | kSign;
    return value != value ? ~std::uint64_t{0} : bits ^ flip;
}

// Walks positions 0..n-1 in the order of a key, equal keys in ascending
// position (a stable order): a heap of groups of positions, each group a list
// in ascending order, popped only as far as the walk goes (an evaluation
// stops at the first supporter who can pay). Supporters with the same
// payment history hold the same money, so with utilities 1 a list of
// thousands of supporters mostly falls into a few hundred groups, one per
// class of money. The buffers are kept between walks.
class KeyOrder {
public:
    // Starts a walk over `keys[0..n)`, each position a group of its own
    // but those of the smallest key, which form one.
    void start(const std::uint64_t* keys, std::size_t n);
    // Starts a walk where position i has the key `class_key[classes[i]]`.
    // Grouping by class needs no hashing; classes that share a key are
    // merged when the walk reaches them.
    void start_by_class(const std::uint32_t* classes, std::size_t n,
                        const std::vector<std::uint64_t>& class_key);
    bool has_next() const { return at_ != kNone || !groups_.empty(); }
    // The number of groups, right after a start.
    std::size_t group_count() const { return groups_.size(); }
    // The next position; only when has_next().
    std::uint32_t next();

private:
    static constexpr std::uint32_t kNone = ~std::uint32_t{0};
    struct Group {
        std::uint64_t key;
        std::uint32_t first;  // position; later ones follow through next_
        std::uint32_t last;
    };
    // Heap order with the smallest key, then the first position, on top
    // (std heaps put the largest there).
    struct Later {
        bool operator()(const Group& a, const Group& b) const {
            return a.key > b.key || (a.key == b.key && a.first > b.first);
        }
    };

    void take_next_key();

    bool by_class_ = false;                // groups of classes may share a key
    bool heap_ready_ = false;
    std::vector<std::uint32_t> group_of_;  // per class: kNone between walks
    std::vector<std::uint32_t> classes_seen_;
    std::vector<Group> groups_;            // groups not yet walked: a heap,
                                           // smallest key on top
    std::vector<std::uint32_t> next_;      // per position: the next of its group
    std::vector<std::uint32_t> merged_;
    std::uint32_t at_ = kNone;             // the next position of the current group
};

}  // namespace tarvek

#endif  // TARVEK_KEY_ORDER_HPP
