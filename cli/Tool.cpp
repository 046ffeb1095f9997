#include "Tool.h"

#include "CommandLine.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "Output.h"
#include "Targets.h"

namespace vqx::cli {

using vqx::provision::code;
using vqx::provision::Exit;

int runTool(int argc, const char* const* argv, ToolIo io) {
    Options o;
    if (const auto ended = parseCommandLine(argc, argv, io, o))
        return *ended;

    Console console(io, o.json, o.verbose);
    Targets targets(o, console, io.hubDriver); // the hub and the demo stay until the end
    int status = 0;
    switch (o.command) {
    case Command::Read:
        status = readCommand(o, console, targets);
        break;
    case Command::Write:
        status = writeCommand(o, console, targets);
        break;
    case Command::Slots:
        status = slotsCommand(o, console, targets);
        break;
    case Command::Apply:
        status = applyCommand(o, console, targets);
        break;
    case Command::Scan:
        status = scanCommand(o, console, targets);
        break;
    }

    // Results that did not reach their reader (a full disk, a closed stdout) are a failure:
    // a script must not take the silence for an answer. A failure already reported keeps
    // its own status.
    io.out.flush();
    if (!io.out) {
        io.err << kToolName << ": writing the results to standard output failed\n";
        io.err.flush();
        if (status == code(Exit::Ok))
            return code(Exit::Failure);
    }
    return status;
}

} // namespace vqx::cli
