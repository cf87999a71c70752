// A range run that failed on a close race goes on once for each candidate
// that may win the race, each run standing for the budgets under which that
// candidate wins.
//
// Why the leaves cover the range: the failed round's state at its start holds
// for every budget of the range (range_split.cpp says why the round leaves
// nothing behind once undone). Replayed, the round evaluates the same
// candidates with the same results, so its contenders and their counts are
// the same. Under each budget the round's winner is a contender whose count
// is the greatest there: either the top one or one whose count may exceed
// the top one's (may_win_); one that is surely below the top one's count
// never wins. Under the budgets where candidate w wins, the best count lies
// in w's count, so a run that takes w as the winner with that best count
// makes, for those budgets, every statement that it proves, and the price
// it charges encloses theirs. So each budget of the range follows the run of
// its winner, and through the same argument at each later fork, one leaf.
// A leaf that proves its rounds to the end holds the outcome of every budget
// that follows it; a leaf that fails holds, as any failed run does, what its
// proved rounds say of those budgets. Leaves whose winner wins under no
// budget stand for no budget and are harmless.
#include "range_run.hpp"

namespace tarvek {

bool RangeRunner::fork(std::size_t deepest, const LeafVisitor& visit) {
    if (!resumable() || blocker_ != Blocker::close_race || deepest == 0) return visit(*this);
    const Blocker failed = blocker_;
    undo_round();
    const bool accepted = fork_at(0, deepest, visit);
    load_round_start(0);
    blocker_ = failed;
    has_state_ = true;
    charging_ = false;
    return accepted;
}

// The working state is the start of a round that failed on a close race:
// plays it on with each candidate that may win it as its winner.
bool RangeRunner::fork_at(std::size_t depth, std::size_t deepest, const LeafVisitor& visit) {
    const std::vector<Index> may_win = may_win_;
    save_round_start(depth);
    for (std::size_t i = 0; i < may_win.size(); ++i) {
        if (i > 0) load_round_start(depth);
        forced_winner_ = may_win[i];
        ++forked_runs_;
        const bool proved = play_and_prove();
        forced_winner_ = kNoForcedWinner;
        const bool forks_again = !proved && resumable() && blocker_ == Blocker::close_race &&
                                 depth + 1 < deepest;
        if (forks_again) {
            undo_round();
            if (!fork_at(depth + 1, deepest, visit)) return false;
        } else if (!visit(*this)) {
            return false;
        }
    }
    return true;
}

}  // namespace tarvek
