#include "FileLimit.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace vqx::provision {

Outcome ensureOpenFiles(int jobs, const QString& option) {
#ifdef _WIN32
    Q_UNUSED(jobs);
    Q_UNUSED(option);
    return {};
#else
    const std::uint64_t needed = filesNeeded(jobs);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return {}; // nothing known; the sessions report what fails
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed)
        return {};
    const bool room = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= needed;
    rlimit raised = limit;
    raised.rlim_cur = room ? static_cast<rlim_t>(needed) : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0 && room)
        return {};
    const auto shown = [](rlim_t v) {
        return v == RLIM_INFINITY ? QStringLiteral("unlimited") : QString::number(v);
    };
    const std::uint64_t most =
        (static_cast<std::uint64_t>(limit.rlim_max) - kFilesBesideJobs) / kFilesPerJob;
    return Outcome::fail(
        Exit::Usage,
        QStringLiteral("%1 %2 needs up to %3 open files, but this process may open only %4 "
                       "(ulimit -n; hard limit %5): use %1 %6 or less, or raise the limit")
            .arg(option)
            .arg(jobs)
            .arg(needed)
            .arg(shown(room ? limit.rlim_cur : limit.rlim_max))
            .arg(shown(limit.rlim_max))
            .arg(limit.rlim_max > kFilesBesideJobs + kFilesPerJob ? most : 1));
#endif
}

} // namespace vqx::provision
