// The simulated host's failure rules: which calls fail, and with which code.

#include "sim/host_state.h"

#include <utility>

namespace sim {

void HostState::replaceRules(std::vector<FailureRule> replacement)
{
    rules = std::move(replacement);
    matched.assign(rules.size(), 0);
}

unsigned int HostState::matchRules(const Args& args)
{
    unsigned int code = 0;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const FailureRule& rule = rules[i];
        if (rule.fn != args.fn || (rule.schid && rule.schid != args.schid) ||
            (rule.client && rule.client != args.client) || (rule.channel && rule.channel != args.channel) ||
            (rule.property && rule.property != args.property)) {
            continue;
        }
        const unsigned int seen = matched[i]++;
        const bool fails = seen >= rule.skip && (!rule.count || seen - rule.skip < *rule.count);
        if (fails && code == 0) {
            code = rule.code;
        }
    }
    return code;
}

void setFailures(std::vector<FailureRule> rules)
{
    HostState& h = host();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.replaceRules(std::move(rules));
}

}  // namespace sim
