// Shared by the fuzz targets: a sandbox root of the unit's layout, made once a
// process under /dev/shm (or /tmp) and removed at its end, ORV_ROOT pointing at it, shell
// commands journaled but never run, and the unit's console output dropped.
#pragma once

#include "os/shell.h"
#include "os/unit_path.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

// A property of the unit that an input broke: reported, then the run ends as
// a finding.
#define FUZZ_CHECK(condition) ((condition) ? void() : fuzz_broken(__FILE__, __LINE__, #condition))
[[noreturn]] inline void fuzz_broken(const char* file, int line, const char* property) {
    std::fprintf(stderr, "%s:%d: %s does not hold\n", file, line, property);
    std::abort();
}

// The host path of a unit path inside the sandbox.
inline std::string fuzz_path(std::string_view unit_path) {
    return sandbox_root() + std::string(unit_path);
}

inline void fuzz_write(std::string_view unit_path, std::string_view content) {
    std::ofstream(fuzz_path(unit_path), std::ios::binary | std::ios::trunc) << content;
}

inline const std::string& fuzz_sandbox() {
    static const std::string root = [] {
        // On a RAM disk where there is one: a disk flushes each rewrite.
        std::string name = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        name += "/orv-fuzz-XXXXXX";
        if (!mkdtemp(name.data())) std::abort();
        for (const char* dir :
             {"var/kelvatro/conf", "var/kelvatro/bin", "usr/kelvatro/conf", "usr/kelvatro/upload",
              "usr/kelvatro/update", "usr/kelvatro/log", "var/www", "etc", "sim"})
            std::filesystem::create_directories(std::filesystem::path(name) / dir);
        setenv("ORV_ROOT", name.c_str(), 1);
        sandbox_reload();
        if (!sandboxed()) std::abort();
        shell_set_sandbox_runner([](const std::string&) { return 0; });
        if (!std::freopen("/dev/null", "w", stdout)) std::abort();
        std::atexit([] { std::filesystem::remove_all(sandbox_root()); });
        return name;
    }();
    return root;
}

// Keeps the journal and the simulated board's log from growing over a run.
inline void fuzz_forget_records() {
    for (const char* record : {"/sim/commands.log", "/sim/gpio.log"})
        std::filesystem::remove(fuzz_path(record));
}
