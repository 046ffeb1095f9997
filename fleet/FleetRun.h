#pragma once
// A preview or apply of the fleet window as it runs: its rows in groups (the modules reached
// by host with the slots of one hub, then the slots of each further hub: the engine reaches
// one hub per run), and how far it is.

#include <cstddef>
#include <vector>

#include "ApplyEngine.h"
#include "FleetWindow.h"

namespace vqx::fleet {

struct FleetWindow::Run {
    struct Group {
        int hub = -1; ///< the hub of the group's slots; -1: none
        std::vector<int> rows;
        std::vector<vqx::provision::PlanEntry> entries; ///< entries[i] is rows[i]'s plan
    };
    bool dryRun = false;
    std::vector<Group> groups;
    std::size_t group = 0; ///< the group running
    int total = 0;
    int done = 0;
    int failed = 0;
    bool stopped = false;
};

} // namespace vqx::fleet
