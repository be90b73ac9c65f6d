#!/usr/bin/env bash
# LOG_DELETE: the status-log archive is emptied, the status log itself kept,
# and the unit goes on serving.
. "$(dirname "$0")/lib.sh"

archive=$ROOT/usr/kelvatro/log
mkdir -p "$archive/2024"
echo old >"$archive/StatusLog_20240101.txt"
echo old >"$archive/2024/StatusLog_20240102.txt"

sim_start
wait_for "Main Program Ready" log_has "Main Program Ready"
send "LOG_DELETE\n"
wait_for "the command logged" log_has "ORV Log delete"
wait_for "the archive emptied" eval '[ -z "$(ls -A "$archive")" ]'
expect "archive directory kept" test -d "$archive"
expect "removal journaled" journal_has "rm -rf /usr/kelvatro/log/*"
expect "status log kept" grep -qF "Main Program Ready" "$ROOT/var/www/StatusLog.txt"
expect "still running" sim_alive
wait_for "the first tick" test -f "$CONF/ORV_Current.ini"
stamp=$(stat -c %y "$CONF/ORV_Current.ini")
wait_for "the tick goes on" eval '[ "$(stat -c %y "$CONF/ORV_Current.ini")" != "$stamp" ]'

sim_end
pass
