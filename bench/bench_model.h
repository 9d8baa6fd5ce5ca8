#pragma once
// Server states for the benchmarks: one connection in front, with as many channels or
// clients as a figure asks for, shaped like a busy real server (nested channels, names
// of ordinary length, a mix of client states).

#include "sim/sim_host.h"

#include <cstddef>

namespace bench {

inline constexpr uint64 BENCH_SCHID = 1;
inline constexpr anyID BENCH_SELF = 1;

// `channels` channels in a tree; `clients` clients spread over them, the own client first.
// Client IDs are 16 bits on the host, so at most 65535 clients.
sim::Model serverModel(std::size_t channels, std::size_t clients);

}  // namespace bench
