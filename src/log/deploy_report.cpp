// The report of a deployment setting that cannot be used: the one message
// format of all deployment settings, logged once while the value stays.
#include "log/deploy_report.h"

#include "log/status_log.h"

std::string deploy_problem(const DeployValue& value) {
    const DeploySettingSpec& row = *value.row;
    std::string why = std::string(row.key) + " \"" + LogEscaped(value.unusable) + "\" is ";
    switch (row.kind) {
    case DeployKind::number:
        why += "no " + std::string(row.noun) + " from " + std::to_string(row.min) + " to " +
               std::to_string(row.max);
        if (!row.zero.empty()) why += " (0: " + std::string(row.zero) + ")";
        return why;
    case DeployKind::real:
        return why + "no number";
    case DeployKind::label:
    case DeployKind::text:
        return why + "unknown";
    }
    return why;
}

void log_deploy_problem(const DeployValue& value, std::string_view outcome) {
    if (!deploy_problem_is_new(value)) return;
    const std::string kept = std::string(value.row->fallback) + " kept";
    LogPrint(LOG_TO_BOTH, 3, "%s: %s\n", deploy_problem(value).c_str(),
             outcome.empty() ? kept.c_str() : std::string(outcome).c_str());
}
