// Tie-breaking: lowest cost, then highest total utility, and an error naming
// the projects that stay tied.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "implementations.hpp"

namespace tarvek_test {
namespace {

template <class Impl>
class TieBreaking : public ::testing::Test {};
TYPED_TEST_SUITE(TieBreaking, Implementations, ImplementationNames);

TYPED_TEST(TieBreaking, SingleIdIsReturned) {
    EXPECT_EQ(TypeParam::ties({{"a", 3.0}}, {{"a", 1}}, {"a"}), "a");
}

TYPED_TEST(TieBreaking, CheapestThenMostUseful) {
    // The dearer a needs no total utility entry.
    const tarvek::CostMap cost{{"a", 10.0}, {"b", 5.0}, {"c", 5.0}};
    const tarvek::UtilityMap total{{"b", 3}, {"c", 7}};
    EXPECT_EQ(TypeParam::ties(cost, total, {"a", "b", "c"}), "c");
}

TYPED_TEST(TieBreaking, UniqueWinnerDoesNotDependOnOrder) {
    const tarvek::CostMap cost{{"a", 10.0}, {"b", 5.0}, {"c", 5.0}, {"d", 5.0}, {"e", 1.0e9}};
    const tarvek::UtilityMap total{{"a", 50}, {"b", 3}, {"c", 7}, {"d", -7}, {"e", 99}};
    tarvek::IdList choices{"a", "b", "c", "d", "e"};
    std::sort(choices.begin(), choices.end());
    do {
        EXPECT_EQ(TypeParam::ties(cost, total, choices), "c");
    } while (std::next_permutation(choices.begin(), choices.end()));
}

TYPED_TEST(TieBreaking, CostsAreComparedExactly) {
    // One unit in the last place decides, whatever the total utilities.
    const double cheap = 5.0;
    const double dear = std::nextafter(cheap, 6.0);
    const tarvek::CostMap cost{{"a", dear}, {"b", cheap}};
    const tarvek::UtilityMap total{{"a", 1000}, {"b", 1}};
    EXPECT_EQ(TypeParam::ties(cost, total, {"a", "b"}), "b");
    EXPECT_EQ(TypeParam::ties(cost, total, {"b", "a"}), "b");
    // The cheaper one's own total utility is still looked up.
    expect_throw_with<std::out_of_range>(
        [&] { TypeParam::ties(cost, {{"a", 1000}}, {"a", "b"}); }, "_Map_base::at");
}

TYPED_TEST(TieBreaking, UnresolvedTieNamesTheTiedInOrder) {
    const tarvek::CostMap cost{{"a", 1.0}, {"b", 5.0}, {"c", 5.0}};
    const tarvek::UtilityMap total{{"a", 1}, {"b", 7}, {"c", 7}};
    expect_throw_with<std::runtime_error>([&] { TypeParam::ties(cost, total, {"b", "c"}); },
                                          "Tie-breaking failed: b c ");
    expect_throw_with<std::runtime_error>([&] { TypeParam::ties(cost, total, {"c", "b"}); },
                                          "Tie-breaking failed: c b ");
    // Only the projects still tied after both levels are named.
    const tarvek::UtilityMap uneven{{"a", 1}, {"b", 7}, {"c", 7}, {"d", 2}};
    tarvek::CostMap with_d = cost;
    with_d["d"] = 5.0;
    expect_throw_with<std::runtime_error>(
        [&] { TypeParam::ties(with_d, uneven, {"c", "d", "b"}); }, "Tie-breaking failed: c b ");
}

TYPED_TEST(TieBreaking, DuplicateIdIsATieNamedTwice) {
    const tarvek::CostMap cost{{"x", 2.0}, {"y", 3.0}};
    const tarvek::UtilityMap total{{"x", 4}, {"y", 9}};
    expect_throw_with<std::runtime_error>([&] { TypeParam::ties(cost, total, {"y", "x", "x"}); },
                                          "Tie-breaking failed: x x ");
}

TYPED_TEST(TieBreaking, EmptyChoicesIsATieAmongNone) {
    expect_throw_with<std::runtime_error>([&] { TypeParam::ties({}, {}, {}); },
                                          "Tie-breaking failed: ");
}

TYPED_TEST(TieBreaking, NanCostFirstLeavesNothingAndFails) {
    // Nothing survives the cost level; the function must not read past the end.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const tarvek::CostMap cost{{"a", nan}, {"b", 1.0}};
    const tarvek::UtilityMap total{{"a", 1}, {"b", 1}};
    expect_throw_with<std::runtime_error>([&] { TypeParam::ties(cost, total, {"a", "b"}); },
                                          "Tie-breaking failed: ");
    // A NaN later in the list never takes the place of a real cost.
    EXPECT_EQ(TypeParam::ties(cost, total, {"b", "a"}), "b");
}

TYPED_TEST(TieBreaking, MissingEntries) {
    const tarvek::CostMap cost{{"a", 1.0}, {"b", 2.0}};
    const tarvek::UtilityMap total{{"a", 1}, {"b", 1}, {"z", 1}};
    // Every id needs a cost, also one after the eventual winner; costs are
    // read before any total utility.
    expect_throw_with<std::out_of_range>([&] { TypeParam::ties(cost, total, {"a", "b", "z"}); },
                                         "_Map_base::at");
    expect_throw_with<std::out_of_range>([&] { TypeParam::ties(cost, {}, {"z", "a"}); },
                                         "_Map_base::at");
    // A single id needs entries in both maps.
    expect_throw_with<std::out_of_range>([&] { TypeParam::ties(cost, {}, {"a"}); },
                                         "_Map_base::at");
    // A dearer id needs no total utility.
    EXPECT_EQ(TypeParam::ties(cost, {{"a", 1}}, {"b", "a"}), "a");
}

}  // namespace
}  // namespace tarvek_test
