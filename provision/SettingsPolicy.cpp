#include "SettingsPolicy.h"

namespace vqx::provision {

SettingsVerdict judgeSettings(const std::vector<CheckedSettings>& checked, bool force,
                              RefusedRun run) {
    SettingsVerdict verdict;
    QStringList refusals;
    for (const CheckedSettings& c : checked) {
        const QString prefix = c.where.isEmpty() ? QString() : c.where + QStringLiteral(": ");
        for (const Violation& v : c.violations) {
            if (force)
                verdict.warnings << QStringLiteral("warning: %1%2 (written anyway: --force)")
                                        .arg(prefix, v.message);
            else
                refusals << QStringLiteral("refused: %1%2").arg(prefix, v.message);
        }
    }
    if (refusals.isEmpty())
        return verdict;
    refusals << (run == RefusedRun::Write
                     ? QStringLiteral("nothing was written; use --force to write these settings "
                                      "anyway")
                     : QStringLiteral("nothing was read or written; use --force to write these "
                                      "settings anyway"));
    verdict.refusal = refusals.join(QLatin1Char('\n'));
    return verdict;
}

} // namespace vqx::provision
