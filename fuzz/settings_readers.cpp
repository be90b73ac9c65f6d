// The settings readers on any file in a sandbox: the current-state set date,
// the TOT, network and system settings. What a reader took must read back the
// same from the file its writer makes of it: written again, the file is the same.
#include "fuzz_sandbox.h"
#include "main/setup_change.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "tot/tot_files.h"

#include <cstring>
#include <sstream>

namespace {

constexpr const char* kInput = "/var/kelvatro/conf/input.ini";
constexpr const char* kWritten = "/var/kelvatro/conf/written.ini";

std::string written() {
    std::ostringstream text;
    text << std::ifstream(fuzz_path(kWritten), std::ios::binary).rdbuf();
    return text.str();
}

// Reads the input, writes what it took, and checks that reading and writing
// that file again gives the same file.
template <typename Settings>
Settings round_trip(int (*read)(const char*, Settings&, FILE*),
                    int (*write)(const char*, const Settings&)) {
    Settings taken{}, again{};
    read(kInput, taken, nullptr);
    write(kWritten, taken);
    const std::string first = written();
    read(kWritten, again, nullptr);
    write(kWritten, again);
    FUZZ_CHECK(written() == first);
    return taken;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_sandbox();
    fuzz_write(kInput, std::string_view(reinterpret_cast<const char*>(data), size));

    DateTime set{};
    ReadCurrentSetDate(kInput, set);
    round_trip(tot_read_settings, tot_write_settings);
    round_trip(ReadNetworkFile, WriteNetworkFile);
    // Last: an old version makes the reader write the file back.
    const SystemSettings system = round_trip(ReadSystemFile, WriteSystemFile);
    FUZZ_CHECK(system.Version == kSystemFileVersion);
    FUZZ_CHECK(std::memchr(system.UnitName, '\0', sizeof system.UnitName));
    fuzz_forget_records();
    return 0;
}
