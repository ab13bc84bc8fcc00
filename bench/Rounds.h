#pragma once

// Figures taken in rounds, the sides in turns (A B A B ...): a change in the
// machine's load over the run then falls on every side alike, and the
// median of each side's rounds leaves out the rounds a burst of load hit.

#include <functional>
#include <string>
#include <vector>

namespace bench {

// Measures one round of one side: its figure, or a negative value with
// `error` set.
using Side = std::function<double(std::string& error)>;

// Runs `rounds` rounds; each runs every side once, in the order given.
// results[s][r] is side s in round r. False, with `error` set, as soon as a
// side fails.
bool takeInTurns(int rounds, const std::vector<Side>& sides, std::vector<std::vector<double>>& results,
                 std::string& error);

// "median 11.32 us (10.95-12.40)", the low and high over the rounds.
std::string medianAndRange(const std::vector<double>& samples, int decimals, const std::string& unit);

// Round by round, what each of the units beyond the first cost: a run of
// `units` units less a run of one, so that starting up cancels out.
std::vector<double> perUnitBeyondFirst(const std::vector<double>& many, const std::vector<double>& one, int units);

}  // namespace bench
