// The unit's own view of its NTP daemon: every few ticks one client query, as
// orvctl asks it, sent in one tick and its answer taken in a later one, so
// that the tick never waits for the daemon; the last outcome, for the metrics.
#pragma once

#include "sntp/daemon_query.h"

// What the daemon last answered; `known` once a query has had its time.
struct DaemonView {
    bool known = false;
    DaemonAnswer answer{};
};

// Ticks from one query to the next, in which its answer is taken.
constexpr int kDaemonQueryTicks = 4;

// Once a tick: takes the answer that has come; every kDaemonQueryTicks ticks
// sends the next query, a query then still unanswered counting as no answer.
void daemon_watch_tick();
const DaemonView& daemon_view();
// Back to no query and nothing known (tests).
void daemon_watch_reset();
