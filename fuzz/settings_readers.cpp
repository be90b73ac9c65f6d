// The settings readers on any file in a sandbox: the current-state set date,
// the TOT, network and system settings. What a reader took must read back the
// same from the file its writer makes of it.
#include "fuzz_sandbox.h"
#include "main/setup_change.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "tot/tot_files.h"

#include <cstring>

namespace {

constexpr const char* kInput = "/var/kelvatro/conf/input.ini";
constexpr const char* kWritten = "/var/kelvatro/conf/written.ini";

bool same(const DateTime& a, const DateTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second;
}

bool same(const SystemSettings& a, const SystemSettings& b) {
    return a.Version == b.Version && a.SystemInfo == b.SystemInfo && a.OptionInfo == b.OptionInfo &&
           a.CustumInfo == b.CustumInfo && a.Language == b.Language &&
           a.TimeAdjust == b.TimeAdjust && a.WebControl == b.WebControl &&
           a.HeaderTime == b.HeaderTime && a.TimeAdjustInt == b.TimeAdjustInt &&
           same(a.Make, b.Make) && same(a.Modify, b.Modify) && a.UnitID == b.UnitID &&
           std::strcmp(a.UnitName, b.UnitName) == 0 && a.AutoReset == b.AutoReset &&
           same(a.AutoResetTime, b.AutoResetTime);
}

// Every address but the NTP server's, which the unit never writes.
bool same(const NetworkSettings& a, const NetworkSettings& b) {
    for (auto field : {&NetworkSettings::IP, &NetworkSettings::NetMask, &NetworkSettings::Gateway,
                       &NetworkSettings::Syslog, &NetworkSettings::snmp, &NetworkSettings::DnsP,
                       &NetworkSettings::DnsS})
        if (std::memcmp(a.*field, b.*field, 4) != 0) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_sandbox();
    fuzz_write(kInput, std::string_view(reinterpret_cast<const char*>(data), size));

    DateTime set{};
    ReadCurrentSetDate(kInput, set);

    TotSettings tot{}, tot_again{};
    tot_read_settings(kInput, tot);
    tot_write_settings(kWritten, tot);
    tot_read_settings(kWritten, tot_again);
    FUZZ_CHECK(std::memcmp(&tot, &tot_again, sizeof tot) == 0);

    NetworkSettings network{}, network_again{};
    ReadNetworkFile(kInput, network);
    WriteNetworkFile(kWritten, network);
    ReadNetworkFile(kWritten, network_again);
    FUZZ_CHECK(same(network, network_again));

    // Last: an old version makes the reader write the file back.
    SystemSettings system{}, system_again{};
    ReadSystemFile(kInput, system);
    FUZZ_CHECK(system.Version == kSystemFileVersion);
    FUZZ_CHECK(std::memchr(system.UnitName, '\0', sizeof system.UnitName));
    WriteSystemFile(kWritten, system);
    ReadSystemFile(kWritten, system_again);
    FUZZ_CHECK(same(system, system_again));

    fuzz_forget_records();
    return 0;
}
