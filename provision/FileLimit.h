#pragma once
// Open files for parallel module sessions. A session holds at most a few descriptors (its
// socket, its thread's event notifier, a write lock, a short-lived pipe of an arp step), so a
// run of `jobs` sessions stays within filesNeeded(jobs); the process's other files fit in the
// fixed part.

#include <cstdint>

#include "ModuleTarget.h"

namespace vqx::provision {

inline constexpr int kFilesPerJob = 4;
inline constexpr int kFilesBesideJobs = 32;

inline std::uint64_t filesNeeded(int jobs) {
    return std::uint64_t{kFilesPerJob} * static_cast<std::uint64_t>(jobs) + kFilesBesideJobs;
}

/// Makes room for `jobs` sessions: on Unix the soft limit of open files is raised towards the
/// hard limit when it is lower than filesNeeded(jobs). When even the hard limit is too low,
/// Exit::Usage with a message that says how many are needed, the limits, and what to do
/// (`option` names the setting to lower, "--jobs"). Nothing to do on Windows.
Outcome ensureOpenFiles(int jobs, const QString& option);

} // namespace vqx::provision
