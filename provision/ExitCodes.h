#pragma once
// The kinds of outcome of a module session, numbered as the exit statuses of vqx250-ipconfig.
// Scripts rely on these numbers; keep them stable.

namespace vqx::provision {

enum class Exit : int {
    Ok = 0,            ///< everything asked for was done (and verified, unless --no-verify)
    Failure = 1,       ///< the tool itself could not work (socket, simulator, output)
    Usage = 2,         ///< bad command line, bad address text, refused settings, bad plan
    Unreachable = 3,   ///< no module answered: no connection, no hub, empty slot
    Device = 4,        ///< a device transfer returned a non-zero result code
    Mismatch = 5,      ///< the record read back differs from the one written
    Partial = 6,       ///< apply: at least one module of the plan did not succeed
    Interrupted = 130, ///< stopped by SIGINT or SIGTERM (the shells' 128 + 2)
};

constexpr int code(Exit e) {
    return static_cast<int>(e);
}

} // namespace vqx::provision
