// A group of supporters whose order is not proved is enclosed for every order
// and every budget: checked against the plain evaluation's arithmetic, walked
// through every order of small random groups at budgets across the range.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "affine.hpp"
#include "random.hpp"
#include "unordered_failers.hpp"

namespace tarvek_test {
namespace {

using tarvek::Affine;
using tarvek::AffineRange;
using tarvek::Interval;

// A value fl(fl(slope * t) + offset) over the range, slope and offset >= 0.
struct Drifting {
    double slope;
    double offset;
    double at(double t) const { return slope * t + offset; }
    Interval plain(Interval t) const { return {at(t.lo), at(t.hi)}; }
    Affine affine(const AffineRange& range, Interval t) const {
        const Affine product =
            range.scale(AffineRange::start(), slope, {slope * t.lo, slope * t.hi});
        return range.add(product, AffineRange::constant(offset), plain(t));
    }
};

bool encloses(Interval plain, Affine band, double t, double value) {
    const AffineRange at_t({t, t});
    const Affine point = AffineRange::constant(value);
    return plain.lo <= value && value <= plain.hi && !at_t.below(point, band) &&
           !at_t.below(band, point);
}

TEST(UnorderedFailers, EncloseEveryOrderAtEveryBudget) {
    tarvek_support::Random random(20261209);
    int failing_groups = 0;
    int partial_groups = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const double first = random.real(1.0, 100.0);
        const Interval range_t{first, first + random.real(0.0, 20.0)};
        const AffineRange range(range_t);
        const Drifting before{random.real(0.0, 3.0), random.real(0.0, 50.0)};
        std::vector<Drifting> money;
        std::vector<double> utility;
        std::vector<tarvek::GroupMember> group;
        double group_utility = 0.0;
        const int size = random.pick(2, 4);
        for (int k = 0; k < size; ++k) {
            money.push_back({random.chance(0.3) ? 0.0 : random.real(0.0, 2.0), random.real(0.0, 40.0)});
            utility.push_back(static_cast<double>(random.pick(1, 6)));
            group_utility += utility.back();
            group.push_back({money.back().plain(range_t), money.back().affine(range, range_t), utility.back()});
        }
        const double cost = random.real(50.0, 2000.0);
        const tarvek::Gathered start{before.plain(range_t), before.affine(range, range_t),
                                     group_utility + random.pick(1, 30)};
        tarvek::Gathered failed = start;
        const bool all_fail = tarvek::fail_in_any_order(group, cost, range, failed);
        tarvek::PartialPayment partial;
        const bool enclosed = tarvek::enclose_partial_payment(group, cost, range, start, partial);
        failing_groups += all_fail;
        partial_groups += enclosed;

        std::vector<int> order(group.size());
        for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<int>(k);
        for (const double t_at : {range_t.lo, range_t.hi, random.real(range_t.lo, range_t.hi)}) {
            do {
                double paid = before.at(t_at);
                double left = start.utility_left;
                for (const int k : order) {
                    const double share = (cost - paid) / left;
                    if (enclosed) {
                        EXPECT_TRUE(encloses(partial.share, partial.share_affine, t_at, share));
                    }
                    if (all_fail) {
                        EXPECT_GT(share * utility[k], money[k].at(t_at));
                    }
                    paid += money[k].at(t_at);
                    left -= utility[k];
                }
                if (all_fail) {
                    EXPECT_TRUE(encloses(failed.paid, failed.paid_affine, t_at, paid));
                }
                if (enclosed) {
                    EXPECT_TRUE(encloses(partial.after.paid, partial.after.paid_affine, t_at, paid));
                    EXPECT_EQ(partial.after.utility_left, left);
                }
            } while (std::next_permutation(order.begin(), order.end()));
        }
    }
    // Both outcomes are common enough for the checks to mean something.
    EXPECT_GT(failing_groups, 100);
    EXPECT_GT(partial_groups, 1000);
}

}  // namespace
}  // namespace tarvek_test
