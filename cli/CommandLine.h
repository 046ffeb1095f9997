#pragma once
// The command line of vqx250-ipconfig: its commands and options, their help texts and their
// checks (CLI11). Parsing only; the commands run in Commands.cpp.

#include <optional>
#include <string>
#include <vector>

#include "NetworkRecord.h"
#include "Tool.h"

namespace vqx::cli {

inline constexpr const char* kToolName = "vqx250-ipconfig";

inline constexpr int kApplyJobs = 16; ///< apply --jobs by default
inline constexpr int kScanJobs = 64;  ///< scan --jobs by default
inline constexpr int kMaxJobs = 256;

enum class Command { Read, Write, Slots, Apply, Scan };

/// The command and every option given, in the units the commands use.
struct Options {
    Command command = Command::Read;

    bool json = false;
    bool demo = false;
    int verbose = 0;
    std::string driver = "auto";
    double timeout = 10;
    int hub = 0;

    std::string host;
    int port = kModulePort;
    int slot = 0;
    std::string ip, mask, gateway;
    bool force = false;
    bool noVerify = false;

    std::string plan;
    std::string format = "auto";
    bool dryRun = false;
    int jobs = 0; ///< 0: the command's default

    std::vector<std::string> targets;
    int connectTimeoutMs = 300;

    bool records = false;
    std::string hubText = "0"; ///< slots: a hub number or "all"
};

/// Parses the arguments into `options`. Returns the exit status when the run ends here
/// (--help, --version, a usage error, each already written to io), nothing when the command
/// is to run.
std::optional<int> parseCommandLine(int argc, const char* const* argv, const ToolIo& io,
                                    Options& options);

} // namespace vqx::cli
