// The two-level tie-breaking, written once over accessors so that the
// exported `break_ties` (string ids, checked lookups) and the engine (dense
// indices, no lookups) share one definition.
#ifndef TARVEK_TIE_BREAKING_HPP
#define TARVEK_TIE_BREAKING_HPP

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tarvek {

// Narrows `choices` in place to the cheapest, then to the most useful of
// those.
template <class Item, class CostOf, class UtilityOf>
void narrow_ties(std::vector<Item>& choices, CostOf cost_of, UtilityOf utility_of) {
    if (!choices.empty()) {
        // Lowest cost: the earliest of equal costs stays; a NaN never replaces.
        std::size_t cheapest = 0;
        for (std::size_t i = 1; i < choices.size(); ++i) {
            const double cost = cost_of(choices[i]);
            if (cost_of(choices[cheapest]) > cost) cheapest = i;
        }
        const double lowest_cost = cost_of(choices[cheapest]);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < choices.size(); ++i) {
            if (cost_of(choices[i]) == lowest_cost) choices[kept++] = choices[i];
        }
        choices.resize(kept);
    }
    if (!choices.empty()) {
        // Highest total utility among the cheapest; the earliest of equals stays.
        std::size_t most_useful = 0;
        for (std::size_t i = 1; i < choices.size(); ++i) {
            const auto leader = utility_of(choices[most_useful]);
            if (leader < utility_of(choices[i])) most_useful = i;
        }
        const auto highest = utility_of(choices[most_useful]);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < choices.size(); ++i) {
            if (utility_of(choices[i]) == highest) choices[kept++] = choices[i];
        }
        choices.resize(kept);
    }
}

// The tie-breaking error. Its message names the tied ids, each followed by
// a blank; since ids may hold blanks themselves, they also travel as a list.
class UnbrokenTie : public std::runtime_error {
public:
    UnbrokenTie(const std::string& message, std::vector<std::string> tied)
        : std::runtime_error(message), tied_(std::move(tied)) {}
    const std::vector<std::string>& tied() const { return tied_; }

private:
    std::vector<std::string> tied_;
};

// Runs `call` for an exported function, whose callers get the tie-breaking
// error as exactly a std::runtime_error with its message.
template <class Call>
auto with_plain_tie_error(Call call) -> decltype(call()) {
    try {
        return call();
    } catch (const UnbrokenTie& tie) {
        throw std::runtime_error(tie.what());
    }
}

// Throws the tie-breaking error, naming every survivor of narrow_ties in order.
template <class Item, class IdOf>
[[noreturn]] void throw_unbroken_tie(const std::vector<Item>& choices, IdOf id_of) {
    std::string message = "Tie-breaking failed: ";
    std::vector<std::string> tied;
    tied.reserve(choices.size());
    for (const auto& item : choices) {
        tied.emplace_back(id_of(item));
        message += tied.back();
        message += ' ';
    }
    throw UnbrokenTie(message, std::move(tied));
}

// Narrows `choices` as narrow_ties does and returns the single survivor;
// throws the tie-breaking error when none or more than one survive.
template <class Item, class CostOf, class UtilityOf, class IdOf>
Item pick_tie_winner(std::vector<Item>& choices, CostOf cost_of, UtilityOf utility_of, IdOf id_of) {
    narrow_ties(choices, cost_of, utility_of);
    if (choices.size() != 1) throw_unbroken_tie(choices, id_of);
    return choices.front();
}

}  // namespace tarvek

#endif  // TARVEK_TIE_BREAKING_HPP
