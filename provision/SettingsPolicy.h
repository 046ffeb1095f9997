#pragma once
// What becomes of settings that break the checks (Validation.h) before anything is written:
// without --force they are refused, every broken rule named, and nothing is contacted; with
// --force each broken rule is a warning and the settings are written anyway.

#include <vector>

#include <QString>
#include <QStringList>

#include "Validation.h"

namespace vqx::provision {

/// The checks' result for one module's settings.
struct CheckedSettings {
    QString where; ///< the module ("192.168.1.20", "slot 3"); empty when the command has one
    std::vector<Violation> violations;
};

/// What a refusal kept from happening: a write of one module, or a plan's reads and writes.
enum class RefusedRun { Write, Plan };

struct SettingsVerdict {
    /// Forced: "warning: <where>: <rule> (written anyway: --force)", one per broken rule.
    QStringList warnings;
    /// Not forced and a rule broken: "refused: <where>: <rule>" lines, then the line that
    /// says nothing was done and how to force it. Empty otherwise.
    QString refusal;

    bool refused() const { return !refusal.isEmpty(); }
};

SettingsVerdict judgeSettings(const std::vector<CheckedSettings>& checked, bool force,
                              RefusedRun run);

} // namespace vqx::provision
