#pragma once
// What a request must do, worked out from the protocol's rules alone: a small model of the
// host (the simulated host's documented behaviour, failure rules included) and of the four
// commands, written without the plug-in's code. The fault sweep compares the plug-in against it.

#include "sim/sim_host.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace faults {

using Bytes = std::vector<std::uint8_t>;

// A failure rule as the model understands it: the calls of `fn` after the first `skip` fail
// with `code`, at most `count` of them (all of them when unset).
struct Fault {
    std::string fn;
    unsigned int code = 1;
    unsigned int skip = 0;
    std::optional<unsigned int> count;
};

struct Outcome {
    Bytes answer;
    // Every host call, one line each with its arguments and result (see describeCall).
    std::vector<std::string> calls;
    std::string output;         // what reaches standard output
    std::size_t allocated = 0;  // host blocks handed out
    std::size_t live = 0;       // blocks the host still holds afterwards
};

// `createdCode` is what the host's createReturnCode writes when it does not fail.
Outcome expectedOutcome(const sim::Model& model, const Bytes& request, const std::optional<Fault>& fault,
                        const std::string& createdCode);

// One logged call of the simulated host, in the form the model's lines take.
std::string describeCall(const sim::Call& call);

}  // namespace faults
