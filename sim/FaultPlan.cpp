#include "sim/FaultPlan.h"

namespace zorn {
namespace orbitane {
namespace sim {

const FaultRule* FaultPlan::next(const std::vector<FaultRule>& rules, int code) {
    if (seen_.size() < rules.size()) seen_.resize(rules.size(), 0);
    const FaultRule* chosen = nullptr;
    for (size_t i = 0; i < rules.size(); ++i) {
        const FaultRule& rule = rules[i];
        if (rule.request != -1 && rule.request != code) continue;
        int64_t index = seen_[i]++;
        bool started = index >= rule.after;
        bool within = rule.times < 0 || index < static_cast<int64_t>(rule.after) + rule.times;
        if (chosen == nullptr && started && within) chosen = &rule;
    }
    return chosen;
}

FaultEffect effectOf(const FaultRule* rule) {
    FaultEffect e;
    if (rule == nullptr) return e;
    switch (rule->kind) {
        case FaultKind::Unsupported:
        case FaultKind::Error:
            e.execute = false;
            break;
        case FaultKind::Silent:
            e.execute = false;
            e.answer = false;
            break;
        case FaultKind::BadChecksum:
            e.corruptChecksum = true;
            break;
        case FaultKind::Delay:
            e.delayNs = static_cast<int64_t>(rule->delayMs) * 1000000;
            break;
        case FaultKind::Close:
            e.execute = false;
            e.answer = false;
            e.closeLink = true;
            break;
        case FaultKind::Stall:
            e.execute = false;
            e.answer = false;
            e.stall = true;
            break;
        case FaultKind::LoseAnswer:
            e.answer = false;
            break;
        case FaultKind::Flood:
            e.noiseBytes = static_cast<size_t>(rule->size >= 0 ? rule->size : kDefaultFloodBytes);
            e.noiseEndsMidFrame = rule->endMidFrame;
            break;
        case FaultKind::Short:
        case FaultKind::Long:
        case FaultKind::Swallow:
            break;
    }
    return e;
}

}  // namespace sim
}  // namespace orbitane
}  // namespace zorn
