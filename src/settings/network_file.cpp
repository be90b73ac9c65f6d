// The network settings file ORV_Network.ini: reading with factory values,
// writing, the printout, and applying the settings to eth0, the default
// route, /etc/resolv.conf and the dhcpcd configuration.
#include "settings/network_file.h"

#include "log/status_log.h"
#include "os/atomic_file.h"
#include "os/file_access.h"
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
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

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

// Whether the dhcpcd file holds the line itself (not a comment that names it).
bool dhcpcd_has_line(const std::string& file, const char* line) {
    return run_command(format_command("grep -x \"%s\" %s", line, file.c_str())) == 0;
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

std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    for (size_t end; !text.empty(); text.remove_prefix(end + 1)) {
        end = std::min(text.find('\n'), text.size() - 1);
        lines.emplace_back(text.substr(0, text[end] == '\n' ? end : end + 1));
    }
    return lines;
}

// What /etc/dhcpcd.conf gets: the lines of the edited file that the unit
// writes (its factory file's while only root may write it, comments, which
// begin with '#', blank lines, and its own entries with the values applied),
// never a line another user added (dhcpcd runs a `script` as root). The lines
// left out are reported.
std::string dhcpcd_text_for_etc(const std::string& text, const std::vector<std::string>& own) {
    std::string factory;
    read_root_file((std::string(kSdConfDir) + "dhcpcd.conf").c_str(), factory);
    const std::vector<std::string> factory_lines = lines_of(factory);
    std::string kept;
    std::string first_foreign;
    int foreign = 0;
    for (const std::string& line : lines_of(text)) {
        if (line.find_first_not_of(" \t") == std::string::npos || line.starts_with('#') ||
            std::ranges::find(own, line) != own.end() ||
            std::ranges::find(factory_lines, line) != factory_lines.end()) {
            kept += line + "\n";
        } else if (foreign++ == 0) {
            first_foreign = line;
        }
    }
    if (foreign > 0)
        LogPrint(LOG_TO_BOTH, 3, "%s: %d line(s) the unit does not write left out of %s: %s\n",
                 kDhcpcdFile, foreign, kDhcpcdTarget, LogEscaped(first_foreign, 80).c_str());
    return kept;
}

// The dhcpcd file edited and handed to /etc; 0, or -1 at the first edit that
// failed (logged), which leaves the rest undone.
int apply_dhcpcd(const NetworkSettings& n) {
    ClearFilePlace(kDhcpcdFile);
    const std::string file = shell_quote(kDhcpcdFile);
    int status = 0;
    if (!dhcpcd_has_line(file, "interface eth0"))
        status = run_command(format_command("echo \"%s\" >> %s", "interface eth0", file.c_str()));
    const std::pair<const char*, std::string> entries[] = {
        {"static ip_address=",
         dotted(n.IP) + "/" + std::to_string(netmask_prefix_length(n.NetMask))},
        {"static routers=", dotted(n.Gateway)},
        {"static domain_name_servers=", dotted(n.DnsP)}};
    std::vector<std::string> own = {"interface eth0"};
    for (const auto& [key, value] : entries) {
        if (status != 0) break;
        status = set_dhcpcd_entry(file, key, value);
        own.push_back(key + value);
    }
    std::string text;
    if (status != 0 || !read_whole_file(kDhcpcdFile, text)) {
        LogPrint(LOG_TO_BOTH, 3, "Cannot edit %s: status %d; network settings not applied\n",
                 kDhcpcdFile, status);
        return -1;
    }
    const int copied = WriteSystemConfigReported(kDhcpcdTarget, dhcpcd_text_for_etc(text, own));
    run_command("sync");
    return copied;
}

// Whether the text is an IPv4 address: four decimal numbers of 0 to 255
// joined by dots, and nothing else but blanks after them.
bool is_address(std::string_view text) {
    text = text.substr(0, text.find_last_not_of(' ') + 1);
    for (int number = 0; number < 4; ++number) {
        if (number > 0 && !text.starts_with('.')) return false;
        if (number > 0) text.remove_prefix(1);
        const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
        if (digits == 0 || digits > 3 || std::stoi(std::string(text.substr(0, digits))) > 255)
            return false;
        text.remove_prefix(digits);
    }
    return text.empty();
}

uint32_t address_bits(const uint8_t a[4]) {
    return uint32_t(a[0]) << 24 | uint32_t(a[1]) << 16 | uint32_t(a[2]) << 8 | a[3];
}

// Whether a value is one its key takes: an address that the unit can apply.
// The unit's own address neither 0.0.0.0/8, loopback, multicast nor reserved;
// a net mask of contiguous ones, neither none nor all; a gateway, and any
// other address, not the broadcast 255.255.255.255 (a gateway not 0.0.0.0).
bool value_ok(const char* key, const char* value) {
    NetworkSettings any{};
    if (!field_of_key(any, key)) return true;
    uint8_t a[4] = {};
    if (!is_address(value) || !IniParseIpAddress(value, a)) return false;
    const uint32_t bits = address_bits(a);
    const std::string_view name = key;
    if (name == "NetMask")
        return std::countl_one(bits) + std::countr_zero(bits) == 32 && bits != 0 &&
               bits != 0xFFFFFFFF;
    if (name == "IP") return a[0] != 0 && a[0] != 127 && a[0] < 224;
    return bits != 0xFFFFFFFF && (bits != 0 || name != "Gateway");
}

// The keys without which the apply cannot run.
constexpr const char* kNeededKeys[] = {"IP", "NetMask", "Gateway"};

// The needed keys that `taken` lacks, joined by ", "; empty when none.
std::string missing_keys(const std::set<std::string, std::less<>>& taken) {
    std::string missing;
    for (const char* key : kNeededKeys)
        if (!taken.contains(key)) missing += (missing.empty() ? "" : ", ") + std::string(key);
    return missing;
}

// Why the unit cannot live on its address, net mask and gateway together: its
// address the subnet's own or its broadcast address (but on a /31, which has
// neither), a gateway outside the subnet, the address itself, or the subnet's
// own or broadcast address. Empty when it can.
std::string subnet_problem(const NetworkSettings& n) {
    const uint32_t mask = address_bits(n.NetMask);
    const uint32_t ip = address_bits(n.IP);
    const uint32_t gateway = address_bits(n.Gateway);
    const uint8_t net[4] = {uint8_t((ip & mask) >> 24), uint8_t((ip & mask) >> 16),
                            uint8_t((ip & mask) >> 8), uint8_t(ip & mask)};
    const std::string subnet = dotted(net) + "/" + std::to_string(std::popcount(mask));
    const auto edge = [mask](uint32_t a) -> const char* {
        if (std::popcount(mask) > 30) return nullptr;
        if ((a & ~mask) == 0) return " is the network address of ";
        return (a | mask) == 0xFFFFFFFF ? " is the broadcast address of " : nullptr;
    };
    if (const char* what = edge(ip)) return "IP=" + dotted(n.IP) + what + subnet;
    const std::string gw = "Gateway=" + dotted(n.Gateway);
    if ((gateway & mask) != (ip & mask)) return gw + " outside " + subnet;
    if (gateway == ip) return gw + " is the unit's own address";
    if (const char* what = edge(gateway)) return gw + what + subnet;
    return {};
}

// The settings of a text whose values its keys take, over the factory values,
// and why they cannot be applied: a needed key missing (when `complete`), or
// addresses the unit cannot live on.
std::string settings_problem(std::string_view text, bool complete) {
    NetworkSettings n{};
    set_factory_values(n);
    std::set<std::string, std::less<>> taken;
    IniReadText(
        text, kSection,
        [&](const char* key, const char* value) {
            if (uint8_t* field = field_of_key(n, key)) {
                IniParseIpAddress(value, field);
                taken.insert(key);
            }
        },
        value_ok);
    if (const std::string missing = missing_keys(taken); complete && !missing.empty())
        return missing + " missing";
    return subnet_problem(n);
}

// Takes an address from the file. One its key does not take is refused: the
// field keeps the address it had before the reading, or its factory value.
void take_address(const char* path, const char* key, const char* value, uint8_t field[4],
                  const uint8_t before[4]) {
    if (value_ok(key, value)) {
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

const SettingsShape kNetworkFileShape{
    kSection, value_ok, true, [](std::string_view text) { return settings_problem(text, false); }};
const SettingsShape kNetworkChangeShape{
    kSection, value_ok, true, [](std::string_view text) { return settings_problem(text, true); }};

std::optional<NetworkSettings> network_applied;

// A needed key missing (at start: a setup change refuses such a file) takes
// its factory value, logged.
int ReadNetworkFile(const char* path, NetworkSettings& n, FILE* opened) {
    NetworkSettings before = n;
    set_factory_values(n);
    if (!opened && unit_access(path, F_OK) != 0) {
        LogPrint(LOG_TO_BOTH, 6, "<<Network file factory set>>\n");
        WriteNetworkFile(path, n);
        return 0;
    }
    std::set<std::string, std::less<>> taken;
    const int result = IniReadFile(
        path, kSection,
        [&](const char* key, const char* value) {
            if (uint8_t* field = field_of_key(n, key)) {
                take_address(path, key, value, field, field_of_key(before, key));
                taken.insert(key);
            }
        },
        opened, value_ok);
    if (result != 0) return result;
    for (const char* key : kNeededKeys)
        if (!taken.contains(key))
            LogPrint(LOG_TO_BOTH, 3, "%s: no %s, factory value %s taken\n",
                     LogEscaped(path, 80).c_str(), key, dotted(field_of_key(n, key)).c_str());
    return 0;
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
    // dhcpcd brings its file's address back at its next reload: the interface
    // takes an address only once that file holds it.
    if (apply_dhcpcd(n) != 0) return kNetworkNotApplied;
    run_command(format_command("ifconfig eth0 %s netmask %s", dotted(n.IP).c_str(),
                               dotted(n.NetMask).c_str()));
    run_command("route del default");
    run_command(format_command("route add default gw %s", dotted(n.Gateway).c_str()));
    write_resolver(n);
    run_command("sudo service dhcpcd reload");
    network_applied = n;
    return kNetworkApplied;
}
