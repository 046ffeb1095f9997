#pragma once
// vqx250-ipconfig: the command-line configurator. Runs on the thread of an existing
// QCoreApplication (the Ethernet link's waits run nested event loops).

#include <functional>
#include <memory>
#include <ostream>

#include "D2xx.h"

namespace vqx::cli {

struct ToolIo {
    using HubDriverFactory = std::function<std::unique_ptr<vqx::usb::D2xxDriver>()>;

    std::ostream& out;     ///< results (text or JSON)
    std::ostream& err;     ///< messages, -v traces, progress
    bool progress = false; ///< show progress of USB transfers (stderr is a terminal)
    /// When set, the USB driver for the hub instead of the one --driver names (for tests
    /// that stage faults on a simulated hub). Empty in the program.
    HubDriverFactory hubDriver = {};
};

/// Parses the command line and runs the command; returns the exit status (ExitCodes.h).
int runTool(int argc, const char* const* argv, ToolIo io);

} // namespace vqx::cli
