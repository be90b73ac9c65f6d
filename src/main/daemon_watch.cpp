// The daemon's answers as the unit sees them: one query in flight at most, on
// a socket that is only read, never waited on, at the ticks after its sending.
#include "main/daemon_watch.h"

#include <string>
#include <utility>

namespace {

struct Watch {
    DaemonQuery query;
    int ticks = 0; // since the watch began
    DaemonView view;
};
Watch watch;

void note_failure(std::string failure) {
    watch.view.known = true;
    watch.view.answer = DaemonAnswer{};
    watch.view.answer.failure = std::move(failure);
}

} // namespace

void daemon_watch_tick() {
    if (watch.query.fd >= 0 && daemon_query_take(watch.query, watch.view.answer))
        watch.view.known = true;
    if (watch.ticks++ % kDaemonQueryTicks != 0) return;
    if (watch.query.fd >= 0) {
        daemon_query_end(watch.query);
        note_failure("no answer");
    }
    if (std::string failure; !daemon_query_send(watch.query, failure)) note_failure(failure);
}

const DaemonView& daemon_view() {
    return watch.view;
}

void daemon_watch_reset() {
    daemon_query_end(watch.query);
    watch = Watch{};
}
