// The table of the NTP daemons that the unit can drive, the choice among them
// by name, and chrony's configuration: the unit's own file among chrony's
// configuration files (ORV_CHRONY_CONF), written whole.
#include "tot/ntp_daemon.h"

#include "log/status_log.h"
#include "os/atomic_file.h"
#include "os/deploy_settings.h"
#include "os/file_access.h"
#include "os/shell.h"
#include "settings/file_store.h"
#include "tot/ntp_conf.h"
#include "tot/ntp_server.h"
#include "tot/time_delivery.h"

#include <string>

namespace {

constexpr const char* kChronyConf = "/etc/chrony/conf.d/orv-main.conf";

std::string chrony_conf() {
    return deploy_setting("ORV_CHRONY_CONF", kChronyConf);
}

// chrony: the unit's own file among its configuration files, written whole.
// In shm delivery chrony selects the segment's clock only once it holds three
// samples, ten seconds at one take in five; until then it serves its own clock
// at the holdover's stratum, which the take that started it has just set. It
// falls back to its own clock only once its root distance passes 1 s.
int write_chrony_conf(bool shm, int stratum) {
    std::string text = "# Broadcast time (TOT) from orv-main, served to every client.\n";
    if (!shm)
        text += format_command("local stratum %d\n", stratum);
    else if (time_delivery_ready())
        text += format_command("refclock SHM %d refid TOT poll 1 filter 1 stratum %d\n"
                               "local stratum %d\n",
                               shm_delivery_unit(), stratum, own_clock_stratum(stratum));
    text += "allow\n";
    return WriteFileReported(chrony_conf().c_str(), text, kDaemonFileAccess, DirSync::yes);
}

constexpr NtpDaemon kInitScript{"",
                                "sudo /etc/init.d/ntp start",
                                "sudo /etc/init.d/ntp stop",
                                ntpd_write_conf,
                                ntp_conf_copy_path,
                                0};
constexpr NtpDaemon kDaemons[] = {
    kInitScript,
    {"ntpsec", "systemctl restart ntpsec.service", "systemctl stop ntpsec.service",
     ntpsec_write_conf, ntp_conf_copy_path, 1},
    {"chrony", "systemctl restart chrony.service", "systemctl stop chrony.service",
     write_chrony_conf, chrony_conf, 1},
};

const NtpDaemon* daemon_named(const std::string& name) {
    for (const NtpDaemon& daemon : kDaemons)
        if (name == daemon.name) return &daemon;
    return nullptr;
}

} // namespace

const NtpDaemon& ntp_daemon() {
    const NtpDaemon* named = daemon_named(deploy_setting("ORV_NTP_DAEMON"));
    return named ? *named : kInitScript;
}

void ntp_daemon_report_settings() {
    if (const std::string name = deploy_setting("ORV_NTP_DAEMON"); !daemon_named(name))
        LogPrint(LOG_TO_BOTH, 3, "ORV_NTP_DAEMON \"%s\" is unknown: %s\n", LogEscaped(name).c_str(),
                 kInitScript.start);
}

std::string ntp_daemon_conf() {
    return ntp_daemon().conf_path();
}

std::string ntp_daemon_command(DaemonAction action) {
    const NtpDaemon& daemon = ntp_daemon();
    return action == DaemonAction::start ? deploy_setting("ORV_NTP_START", daemon.start)
                                         : deploy_setting("ORV_NTP_STOP", daemon.stop);
}
