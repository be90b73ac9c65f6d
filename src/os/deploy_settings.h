// Deployment settings: how this installation differs from the unit's defaults
// (NTP daemon commands, SPI transport, file group, time delivery, holdover,
// reception thresholds, update keys, metrics), read from /etc/default/orv-main,
// the file that the service also takes as its environment. The unit reads it
// and never writes it. One table names every setting with its kind, default
// and range; one parser checks a value against it and says what is wrong with
// it in one format.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

constexpr const char* kDeploySettingsPath = "/etc/default/orv-main";

enum class DeployKind {
    text,   // taken as it stands (a path, a command, a name)
    number, // plain digits within [min, max], or exactly "0" when `zero` says what it means
    real,   // a floating-point number
    label,  // one of `labels`
};

struct DeploySettingSpec {
    std::string_view key;
    DeployKind kind;
    std::string_view fallback = {};     // the default, empty for none
    bool no_fallback_sandboxed = false; // under a sandbox root the default is none
    std::string_view noun = {};         // number: what it counts, for the message
    int64_t min = 0, max = 0;           // number: its range
    std::string_view zero = {};         // number: what an exact "0" means, outside the range
    std::array<std::string_view, 2> labels = {};
};

// Ordered as orv-main(8) lists them.
inline constexpr DeploySettingSpec kDeploySettings[] = {
    {.key = "ORV_NTP_DAEMON", .kind = DeployKind::label, .labels = {"ntpsec", "chrony"}},
    {"ORV_NTP_START", DeployKind::text, "sudo /etc/init.d/ntp start"},
    {"ORV_NTP_STOP", DeployKind::text, "sudo /etc/init.d/ntp stop"},
    {"ORV_NTP_CONF_COPY", DeployKind::text, "/etc/"},
    {.key = "ORV_NTP_QUERY",
     .kind = DeployKind::text,
     .fallback = "127.0.0.1:123",
     .no_fallback_sandboxed = true},
    {"ORV_CHRONY_CONF", DeployKind::text, "/etc/chrony/conf.d/orv-main.conf"},
    {.key = "ORV_SPI", .kind = DeployKind::label, .labels = {"spidev", "bcm2835"}},
    {"ORV_SPIDEV", DeployKind::text, "/dev/spidev0.1"}, // SPI0, chip select 1
    {.key = "ORV_TIME_DELIVERY",
     .kind = DeployKind::label,
     .fallback = "step",
     .labels = {"step", "shm"}},
    // Units 0 and 1 are root's with every daemon; a sandbox's segment must be
    // one that no daemon of the host reads.
    {.key = "ORV_SHM_UNIT",
     .kind = DeployKind::number,
     .fallback = "0",
     .no_fallback_sandboxed = true,
     .noun = "unit",
     .min = 0,
     .max = 255},
    // A shorter limit would stop and start the daemon around every TOT; the
    // longest is what the microsecond clock can count.
    {.key = "ORV_HOLDOVER_S",
     .kind = DeployKind::number,
     .fallback = "3600",
     .noun = "number of seconds",
     .min = 60,
     .max = INT64_MAX / 1000000,
     .zero = "no limit"},
    // Below about 15 dB an ISDB-T signal of 64QAM no longer decodes reliably; a
    // BER past 2e-4 before Reed-Solomon decoding is no longer quasi error free.
    {"ORV_SNR_MIN_DB", DeployKind::real, "15"},
    {"ORV_BER_MAX", DeployKind::real, "2e-4"},
    {"ORV_GROUP", DeployKind::text, ""},
    {"ORV_UPDATE_KEYS", DeployKind::text, "/etc/orv-main/update-keys/"},
    {"ORV_METRICS_DIR", DeployKind::text, ""},
};

// The table's entry of a key; a key outside the table is a fault of the caller.
constexpr const DeploySettingSpec& deploy_spec(std::string_view key) {
    for (const DeploySettingSpec& row : kDeploySettings)
        if (row.key == key) return row;
    throw "no such deployment setting";
}

// A setting as set, checked against its entry. A value that cannot be used
// (an empty one when there is no default) leaves the default in `text`,
// `number` and `real`, and itself in `unusable` (log_deploy_problem says why).
struct DeployValue {
    const DeploySettingSpec* row = nullptr;
    std::string text;
    int64_t number = -1; // number: its value; label: its place among the labels
    double real = 0;
    bool usable = true;
    std::string unusable;
};
DeployValue deploy_value(std::string_view key);

// The value of KEY as it stands, or its default (or the fallback given) when
// the file or the key is missing or the value is empty.
std::string deploy_setting(std::string_view key);
std::string deploy_setting(std::string_view key, std::string_view fallback);
// Whether a problem of a value is new since the file was read, or since the
// value last changed: each is reported once.
bool deploy_problem_is_new(const DeployValue& value);
// Reads the file again at the next use (a test); problems are reported anew.
void deploy_settings_reload();
