#pragma once
// The commands of vqx250-ipconfig: read, write, slots, apply and scan. Each takes the parsed
// options, runs the module sessions of provision/ and prints through the Console; each
// returns the exit status (ExitCodes.h).

#include "CommandLine.h"
#include "Output.h"
#include "Targets.h"

namespace vqx::cli {

int readCommand(const Options& options, Console& console, Targets& targets);
int writeCommand(const Options& options, Console& console, Targets& targets);
int slotsCommand(const Options& options, Console& console, Targets& targets);
int applyCommand(const Options& options, Console& console, Targets& targets);
int scanCommand(const Options& options, Console& console, Targets& targets);

} // namespace vqx::cli
