#include "bench/Rounds.h"

#include <cstdio>

#include "bench/BenchSupport.h"

namespace bench {

bool takeInTurns(int rounds, const std::vector<Side>& sides, std::vector<std::vector<double>>& results,
                 std::string& error) {
    results.assign(sides.size(), {});
    for (int round = 0; round < rounds; ++round) {
        for (size_t s = 0; s < sides.size(); ++s) {
            const double v = sides[s](error);
            if (v < 0) return false;
            results[s].push_back(v);
        }
    }
    return true;
}

std::string medianAndRange(const std::vector<double>& samples, int decimals, const std::string& unit) {
    char text[128];
    std::snprintf(text, sizeof text, "median %.*f %s (%.*f-%.*f)", decimals, median(samples), unit.c_str(), decimals,
                  minimum(samples), decimals, maximum(samples));
    return text;
}

std::vector<double> perUnitBeyondFirst(const std::vector<double>& many, const std::vector<double>& one, int units) {
    std::vector<double> out;
    for (size_t r = 0; r < many.size() && r < one.size(); ++r) out.push_back((many[r] - one[r]) / (units - 1));
    return out;
}

}  // namespace bench
