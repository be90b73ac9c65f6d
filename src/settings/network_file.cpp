// The network settings file ORV_Network.ini: reading with factory values,
// writing, the printout, and applying the settings to eth0, the default
// route, /etc/resolv.conf and the dhcpcd configuration.
#include "settings/network_file.h"

#include "log/status_log.h"
#include "os/atomic_file.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "settings/file_store.h"
#include "settings/system_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

NetworkSettings network_settings;

namespace {

constexpr const char* kDhcpcdFile = "/var/kelvatro/conf/dhcpcd.conf";
constexpr const char* kDhcpcdTarget = "/etc/dhcpcd.conf";
constexpr const char* kResolvFile = "/etc/resolv.conf";
constexpr const char* kSection = "[ORVNetwork]";
// The resolver file is read by every program: root writes it, all may read it.
constexpr FileAccess kResolvAccess{0644, kKeepGroup};

void set_address(uint8_t field[4], uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    field[0] = a;
    field[1] = b;
    field[2] = c;
    field[3] = d;
}

void set_factory_values(NetworkSettings& n) {
    n = NetworkSettings{};
    if (variant_bit_set()) {
        set_address(n.IP, 192, 168, 1, 10);
        set_address(n.Gateway, 192, 168, 1, 1);
    } else {
        set_address(n.IP, 192, 168, 105, 10);
        set_address(n.Gateway, 192, 168, 105, 1);
    }
    set_address(n.NetMask, 255, 255, 255, 0);
    set_address(n.Syslog, 192, 168, 0, 100);
    set_address(n.snmp, 192, 168, 0, 100);
}

uint8_t* field_of_key(NetworkSettings& n, const char* key) {
    struct KeyField {
        const char* key;
        uint8_t* field;
    };
    const KeyField keys[] = {{"IP", n.IP},           {"NetMask", n.NetMask},
                             {"Gateway", n.Gateway}, {"Syslog", n.Syslog},
                             {"snmp", n.snmp},       {"DnsP", n.DnsP},
                             {"DnsS", n.DnsS},       {"NtpServer", n.NtpServer}};
    for (const KeyField& k : keys)
        if (std::strcmp(key, k.key) == 0) return k.field;
    return nullptr;
}

std::string dotted(const uint8_t a[4]) {
    return format_command("%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
}

void write_resolver(const NetworkSettings& n) {
    const std::string text =
        "nameserver " + dotted(n.DnsP) + "\nnameserver " + dotted(n.DnsS) + "\n";
    if (atomic_write_file(kResolvFile, text, kResolvAccess) != 0)
        LogPrint(LOG_TO_BOTH, 3, "Cannot Open /etc/resolv.conf\n");
}

// The grep status tells whether the dhcpcd file carries the text, even
// inside a comment.
bool dhcpcd_has(const std::string& file, const char* text) {
    return run_command(format_command("grep \"%s\" %s", text, file.c_str())) == 0;
}

// Appends "key<value>" to the dhcpcd file, or rewrites everything behind the
// key on every line that carries it; then syncs. Returns the edit's status.
int set_dhcpcd_entry(const std::string& file, const char* key, const std::string& value) {
    int status = 0;
    if (!dhcpcd_has(file, key)) {
        status =
            run_command(format_command("echo \"%s\"%s >> %s", key, value.c_str(), file.c_str()));
    } else {
        std::string escaped;
        for (char c : value)
            escaped += c == '/' ? std::string("\\/") : std::string(1, c);
        status = run_command(format_command("grep -l '%s' %s | xargs sed -i -e 's/%s.*/%s%s/g'",
                                            key, file.c_str(), key, key, escaped.c_str()));
    }
    run_command("sync");
    return status;
}

// The dhcpcd file edited and copied to /etc; 0, or -1 at the first edit that
// failed (logged), which leaves the rest undone.
int apply_dhcpcd(const NetworkSettings& n) {
    ClearFilePlace(kDhcpcdFile);
    const std::string file = shell_quote(kDhcpcdFile);
    int status = 0;
    if (!dhcpcd_has(file, "interface eth0"))
        status = run_command(format_command("echo \"%s\" >> %s", "interface eth0", file.c_str()));
    const std::pair<const char*, std::string> entries[] = {
        {"static ip_address=",
         dotted(n.IP) + "/" + std::to_string(netmask_prefix_length(n.NetMask))},
        {"static routers=", dotted(n.Gateway)},
        {"static domain_name_servers=", dotted(n.DnsP)}};
    for (const auto& [key, value] : entries) {
        if (status != 0) break;
        status = set_dhcpcd_entry(file, key, value);
    }
    if (status != 0) {
        LogPrint(LOG_TO_BOTH, 3, "Cannot edit %s: status %d\n", kDhcpcdFile, status);
        return -1;
    }
    const int copied = CopyFileReported(kDhcpcdFile, kDhcpcdTarget);
    run_command("sync");
    return copied;
}

// Whether the text is an IPv4 address: four decimal numbers of 0 to 255 with
// the separators the reader takes between them, and nothing else.
bool is_address(const char* text) {
    const std::string_view separators = ".:, \t\r\n";
    int numbers = 0;
    for (std::string_view rest = text; !rest.empty();) {
        const size_t digits = std::min(rest.find_first_not_of("0123456789"), rest.size());
        if (digits > 3 || (digits > 0 && std::stoi(std::string(rest.substr(0, digits))) > 255))
            return false;
        numbers += digits > 0;
        rest.remove_prefix(digits);
        if (!rest.empty() && separators.find(rest.front()) == std::string_view::npos) return false;
        if (!rest.empty()) rest.remove_prefix(1);
    }
    return numbers == 4;
}

// Takes an address from the file. A malformed one is refused whole: the
// field keeps the address it had before the reading, or its factory value.
// An empty value leaves the factory value.
void take_address(const char* path, const char* key, const char* value, uint8_t field[4],
                  const uint8_t before[4]) {
    if (*value == '\0') return;
    if (is_address(value)) {
        IniParseIpAddress(value, field);
        return;
    }
    if (std::any_of(before, before + 4, [](uint8_t b) { return b != 0; }))
        std::copy(before, before + 4, field);
    LogPrint(LOG_TO_BOTH, 3, "%s: %s=%s is no address, %s kept\n", LogEscaped(path, 80).c_str(),
             key, LogEscaped(value, 80).c_str(), dotted(field).c_str());
}

void print_network_file(FILE* fp, const NetworkSettings& n) {
    std::fputs(";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
               "; ORV ネットワーク情報         ;\n"
               "; SDカード上に保存されるデータ ;\n"
               ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
               "[ORVNetwork]\t; ORVネットワーク設定\n",
               fp);
    std::fprintf(fp, "IP=%s\t; IPアドレス\n", dotted(n.IP).c_str());
    std::fprintf(fp, "NetMask=%s\t; サブネットマスク\n", dotted(n.NetMask).c_str());
    std::fprintf(fp, "Gateway=%s\t; デフォルトゲートウェイ\n", dotted(n.Gateway).c_str());
    std::fprintf(fp, "Syslog=%s\t; Syslogサーバ\n", dotted(n.Syslog).c_str());
    std::fprintf(fp, "snmp=%s\t; snmp\n", dotted(n.snmp).c_str());
    std::fprintf(fp, "DnsP=%s\t; プライマリDNSサーバ\n", dotted(n.DnsP).c_str());
    std::fprintf(fp, "DnsS=%s\t; セカンダリDNSサーバ\n", dotted(n.DnsS).c_str());
}

} // namespace

const SettingsShape kNetworkFileShape{kSection};

int ReadNetworkFile(const char* path, NetworkSettings& n, FILE* opened) {
    NetworkSettings before = n;
    set_factory_values(n);
    if (!opened && unit_access(path, F_OK) != 0) {
        LogPrint(LOG_TO_BOTH, 6, "<<Network file factory set>>\n");
        WriteNetworkFile(path, n);
        return 0;
    }
    return IniReadFile(
        path, kSection,
        [&](const char* key, const char* value) {
            if (uint8_t* field = field_of_key(n, key))
                take_address(path, key, value, field, field_of_key(before, key));
        },
        opened);
}

int WriteNetworkFile(const char* path, const NetworkSettings& n) {
    if (PrintSettingsFile(path, [&n](FILE* fp) { print_network_file(fp, n); }) != 0) {
        LogPrint(LOG_TO_BOTH, 0, "Network file error\n");
        return -1;
    }
    return 0;
}

void PrintNetworkSettings(const NetworkSettings& n) {
    LogPrint(LOG_TO_BOTH, 6, "IP Addr     : %s\n", dotted(n.IP).c_str());
    LogPrint(LOG_TO_BOTH, 6, "NetMask     : %s\n", dotted(n.NetMask).c_str());
    LogPrint(LOG_TO_BOTH, 6, "Gateway     : %s\n", dotted(n.Gateway).c_str());
    if (variant_bit_set()) return;
    LogPrint(LOG_TO_BOTH, 6, "DNS P       : %s\n", dotted(n.DnsP).c_str());
    LogPrint(LOG_TO_BOTH, 6, "DNS S       : %s\n", dotted(n.DnsS).c_str());
}

int netmask_prefix_length(const uint8_t mask[4]) {
    int length = 0;
    for (int i = 0; i < 4; ++i)
        if (mask[i] & 0x80) length += std::popcount(mask[i]);
    return length;
}

int ApplyNetworkSettings(const NetworkSettings& n) {
    run_command(format_command("ifconfig eth0 %s netmask %s", dotted(n.IP).c_str(),
                               dotted(n.NetMask).c_str()));
    run_command("route del default");
    run_command(format_command("route add default gw %s", dotted(n.Gateway).c_str()));
    write_resolver(n);
    // dhcpcd would take the old file again.
    if (apply_dhcpcd(n) == 0) run_command("sudo service dhcpcd reload");
    return 1;
}
