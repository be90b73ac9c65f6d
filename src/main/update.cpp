// The update path from the upload folder to the setup script: the archive and
// its signature copied into /usr/kelvatro/update (made anew for each update,
// root's alone, removed after it), the signature checked there by sqv against
// the keyrings of the update keys' directory (ORV_UPDATE_KEYS), the members
// listed by tar and checked, and only then the archive unpacked and its script
// run, so that nothing the front end's group can write is read after the check.
#include "main/update.h"

#include "log/status_log.h"
#include "os/atomic_file.h"
#include "os/clock.h"
#include "os/deploy_settings.h"
#include "os/pace.h"
#include "os/shell.h"
#include "os/tar_listing.h"
#include "os/unit_path.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

UpdateResult last_update;

namespace {

namespace fs = std::filesystem;

constexpr const char* kUploadDir = "/usr/kelvatro/upload";
constexpr const char* kUpdateDir = "/usr/kelvatro/update";
constexpr const char* kResultPath = "/usr/kelvatro/last-update";
constexpr FileAccess kResultAccess{0644, 0};
constexpr const char* kVerify = "cd /usr/kelvatro/update; sqv%s -- data.tar.gz.sig data.tar.gz "
                                "> signers.txt";
constexpr const char* kList = "cd /usr/kelvatro/update; tar tzvf data.tar.gz %s > members.txt";
constexpr const char* kSetup =
    "cd /usr/kelvatro/update; tar xzvf data.tar.gz --no-same-owner; /bin/sh setup.sh; sync;";
constexpr const char* kSetupFpga = "cd /usr/kelvatro/update; tar xzvf data.tar.gz "
                                   "--no-same-owner; /bin/sh setup_fpga.sh ; sync;";

std::string in_dir(const char* dir, const char* name) {
    return std::string(dir) + "/" + name;
}

void remove_private_dir() {
    std::error_code ec;
    fs::remove_all(unit_path(kUpdateDir), ec);
}

std::string copy_into(int in, const std::string& to) {
    const int out = open(unit_path(to).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ssize_t n = out < 0 ? -1 : 1;
    while (n > 0)
        n = sendfile(out, in, nullptr, 1 << 20);
    const std::string why = n < 0 ? "cannot copy to " + to + ": " + std::strerror(errno) : "";
    if (out >= 0) close(out);
    return why;
}

// A regular file of the upload folder, never through a link, copied into the
// private directory: only the copy is read from now on.
std::string copy_in(const char* name) {
    const std::string from = in_dir(kUploadDir, name);
    const int in = open(unit_path(from).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return from + (errno == ENOENT ? " missing" : ": " + std::string(strerror(errno)));
    struct stat st {};
    const std::string why = fstat(in, &st) == 0 && S_ISREG(st.st_mode)
                                ? copy_into(in, in_dir(kUpdateDir, name))
                                : from + " is no regular file";
    close(in);
    return why;
}

// Whoever may change an update key decides what the unit installs: the keys
// and their directory must be root's and written by nobody else.
std::string others_may_write(const std::string& path) {
    struct stat st {};
    if (stat(unit_path(path).c_str(), &st) != 0 || (st.st_uid == 0 && (st.st_mode & 022) == 0))
        return "";
    return LogEscaped(path) + " may be written by others than root";
}

// The keyrings of the update keys' directory (*.pgp, *.gpg, *.asc) as
// --keyring options; returns why they cannot be trusted, else empty.
std::string keyring_options(const std::string& dir, std::string& options) {
    std::vector<std::string> paths;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(unit_path(dir), ec)) {
        const std::string extension = entry.path().extension();
        if (entry.is_regular_file(ec) &&
            (extension == ".pgp" || extension == ".gpg" || extension == ".asc"))
            paths.push_back((fs::path(dir) / entry.path().filename()).string());
    }
    std::sort(paths.begin(), paths.end());
    std::string why = others_may_write(dir);
    for (const std::string& path : paths) {
        if (why.empty()) why = others_may_write(path);
        options += " --keyring=" + shell_quote(path);
    }
    return why;
}

// Each check returns why the update is refused; empty when it may go on.

// The signature checked against the update keys: the fingerprint of the key
// whose signature sqv found good.
std::string check_signature(std::string& fingerprint) {
    const std::string dir = deploy_setting("ORV_UPDATE_KEYS");
    std::string keyrings;
    if (const std::string why = keyring_options(dir, keyrings); !why.empty()) return why;
    if (keyrings.empty()) return "no update keys (*.pgp, *.gpg, *.asc) in " + LogEscaped(dir);
    std::string signers;
    if (run_command(format_command(kVerify, keyrings.c_str())) != 0 ||
        !read_whole_file(in_dir(kUpdateDir, "signers.txt").c_str(), signers) || signers.empty())
        return "data.tar.gz has no good signature by a key of " + LogEscaped(dir);
    fingerprint = LogEscaped(signers.substr(0, signers.find('\n')));
    return "";
}

// Every member of the archive, as tar lists it, stays inside the directory.
std::string check_members() {
    std::string listing;
    const auto members = run_command(format_command(kList, kTarListingOptions)) == 0 &&
                                 read_whole_file(in_dir(kUpdateDir, "members.txt").c_str(), listing)
                             ? tar_members(listing)
                             : std::nullopt;
    if (!members) return "data.tar.gz cannot be listed as a gzip tar archive";
    const TarMember* out = tar_member_leading_out(*members);
    if (!out) return "";
    return "member " + LogEscaped(out->name) + " of data.tar.gz " +
           (std::string_view("-dlh").find(out->type) == std::string_view::npos
                ? "is no file, directory or link"
                : "leads out of its directory");
}

// A fresh private directory (whatever an interrupted update left removed)
// holding the copies.
std::string prepare() {
    remove_private_dir();
    if (unit_mkdir(kUpdateDir, 0700) != 0)
        return std::string("cannot make ") + kUpdateDir + ": " + std::strerror(errno);
    std::string why = copy_in("data.tar.gz");
    return why.empty() ? copy_in("data.tar.gz.sig") : why;
}

// "<seconds> installed|refused <detail>", the detail's control characters
// escaped.
void keep_result() {
    const std::string text =
        format_command("%lld %s %s\n", static_cast<long long>(last_update.at_s),
                       last_update.refused ? "refused" : "installed", last_update.detail.c_str());
    if (atomic_write_file(kResultPath, text, kResultAccess, DirSync::yes) != 0)
        LogPrint(LOG_TO_BOTH, 3, "Cannot write %s: %s\n", kResultPath, std::strerror(errno));
}

// An update asked for again within a second of a refusal is refused without
// a new copy and check: a writer of the FIFO cannot have the SD card written
// at will. The refusals' lines come at most once a second, the others counted.
constexpr int64_t kRetryAfterUs = 1000000;
int64_t refused_at_us = 0;
LogFlood refusals;

bool refused_just_now(int64_t now_us) {
    return refused_at_us != 0 && now_us >= refused_at_us && now_us - refused_at_us < kRetryAfterUs;
}

} // namespace

void update_result_load() {
    std::string text;
    long long at_s = 0;
    char result[16] = "";
    int detail_at = 0;
    if (!read_whole_file(kResultPath, text) ||
        std::sscanf(text.c_str(), "%lld %15s %n", &at_s, result, &detail_at) < 2)
        return;
    const std::string_view detail = std::string_view(text).substr(detail_at);
    last_update = UpdateResult{at_s, std::string_view(result) == "refused",
                               std::string(detail.substr(0, detail.find('\n')))};
}

bool update_check() {
    const int64_t now_us = pace_clock_us();
    if (refused_just_now(now_us)) {
        LogLimited(refusals, 3, "Update refused: asked again within a second of a refusal\n");
        return false;
    }
    const int64_t now_s = system_clock_ns() / 1000000000;
    std::string fingerprint, why = prepare();
    if (why.empty()) why = check_signature(fingerprint);
    if (why.empty()) why = check_members();
    if (!why.empty()) {
        LogLimited(refusals, 3, "Update refused: %s\n", why.c_str());
        refused_at_us = now_us;
        last_update = UpdateResult{now_s, true, why};
        keep_result();
        remove_private_dir();
        return false;
    }
    LogPrint(LOG_TO_BOTH, 6, "Update signed by key %s: installing\n", fingerprint.c_str());
    last_update = UpdateResult{now_s, false, fingerprint};
    keep_result();
    return true;
}

void update_install(UpdateScript script) {
    run_command(script == UpdateScript::setup ? kSetup : kSetupFpga);
    remove_private_dir();
}
