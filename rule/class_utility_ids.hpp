// Ids for the pairs (money class, utility) met in one pass over supporters:
// voters of one money class hold equal money under every budget, so a pair
// stands for supporters whose keys, and payments, are equal. The first
// utility met for a class is kept beside the class, in an array; others,
// rare, go through a map. Ids are handed out by the caller.
#ifndef TARVEK_CLASS_UTILITY_IDS_HPP
#define TARVEK_CLASS_UTILITY_IDS_HPP

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace tarvek {

class ClassUtilityIds {
public:
    // Starts a pass over classes below `class_count`: no pair has an id.
    void start_pass(std::size_t class_count) {
        ++pass_;
        if (first_.size() < class_count) first_.resize(class_count);
        others_.clear();
    }

    // The id of the pair in this pass; `new_id()` gives one to a pair met
    // for the first time.
    template <class NewId>
    std::uint32_t id(std::uint32_t money_class, double utility, NewId new_id) {
        if (first_.size() <= money_class) first_.resize(money_class + std::size_t{1});
        First& first = first_[money_class];
        if (first.pass != pass_) {
            first = {pass_, utility, new_id()};
            return first.id;
        }
        if (first.utility == utility) return first.id;
        // Utilities are whole numbers within 32 bits.
        const auto key = (static_cast<std::uint64_t>(money_class) << 32) |
                         static_cast<std::uint32_t>(static_cast<std::int32_t>(utility));
        const auto found = others_.find(key);
        if (found != others_.end()) return found->second;
        const std::uint32_t id = new_id();
        others_.emplace(key, id);
        return id;
    }

private:
    struct First {
        std::uint64_t pass = 0;
        double utility = 0.0;
        std::uint32_t id = 0;
    };
    std::vector<First> first_;  // per class
    std::unordered_map<std::uint64_t, std::uint32_t> others_;
    std::uint64_t pass_ = 0;
};

}  // namespace tarvek

#endif  // TARVEK_CLASS_UTILITY_IDS_HPP
