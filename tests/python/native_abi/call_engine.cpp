// Calls the engine's three exported functions through the public header,
// linked against the Python extension itself, without starting Python.
// Prints one line per call.
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "equal_shares.hpp"

namespace {

void print(const char* label, const std::vector<std::string>& ids) {
    std::cout << label << ':';
    for (const std::string& id : ids) std::cout << ' ' << id;
    std::cout << '\n';
}

}  // namespace

int main() {
    // Two voters with 5.0 each: the rule affords only B; the completion, at
    // the trial budget 12.0, adds A.
    const tarvek::IdList voters{"x", "y"};
    const tarvek::IdList projects{"A", "B"};
    const tarvek::CostMap cost{{"A", 6.0}, {"B", 4.0}};
    const tarvek::ApproverMap approvers{{"A", {{"x", 1}}}, {"B", {{"y", 1}}}};
    const tarvek::UtilityMap total_utility{{"A", 1}, {"B", 1}};

    print("utils", equal_shares_utils(voters, projects, cost, approvers, total_utility, 10.0));
    print("add1", equal_shares_add1(voters, projects, cost, approvers, total_utility, 10.0));
    std::cout << "break_ties: " << break_ties(cost, total_utility, {"A", "B"}) << '\n';

    const tarvek::CostMap equal_cost{{"A", 4.0}, {"B", 4.0}};
    try {
        break_ties(equal_cost, total_utility, {"B", "A"});
        std::cout << "tie: none\n";
    } catch (const std::runtime_error& error) {
        std::cout << "tie: [" << error.what() << "]\n";
    }
    try {
        equal_shares_utils(voters, {"A", "missing"}, cost, approvers, total_utility, 10.0);
        std::cout << "missing: none\n";
    } catch (const std::out_of_range& error) {
        std::cout << "missing: " << error.what() << '\n';
    }
    return 0;
}
