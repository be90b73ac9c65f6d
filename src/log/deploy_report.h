// The report of a deployment setting that cannot be used: one format for all,
// logged once while the value stays the same.
#pragma once

#include "os/deploy_settings.h"

#include <string>
#include <string_view>

// Why the value cannot be used: KEY "value" is no <noun> from <min> to <max>
// (0: <zero>), KEY "value" is no number, or KEY "value" is unknown.
std::string deploy_problem(const DeployValue& value);

// Logs at level 3 "<problem>: <outcome>", by default "<default> kept", when the
// value cannot be used and was not reported so since it last changed.
void log_deploy_problem(const DeployValue& value, std::string_view outcome = {});
