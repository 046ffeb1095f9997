#pragma once
// Loading a plan (Plan.h) for a run: from a file, or from standard input when the path is
// "-", at most kMaxPlanBytes. Unless the caller names the form, a name ending in ".csv" or
// ".json" (in any case) says which it is, and otherwise the content does.

#include <optional>
#include <vector>

#include <QString>

#include "Plan.h"

namespace vqx::provision {

/// The plan at `path`. Standard input is read as bytes through its descriptor, unbuffered
/// (no CR-LF translation and no end at a Ctrl-Z on Windows). nullopt, with *error set, when
/// it cannot be read, is larger than kMaxPlanBytes or does not parse.
std::optional<std::vector<PlanEntry>> loadPlan(const QString& path, PlanFormat format,
                                               QString* error);

} // namespace vqx::provision
