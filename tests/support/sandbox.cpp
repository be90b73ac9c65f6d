// The temporary sandbox root of the tests.
#include "sandbox.h"

#include "main/setup_change.h"
#include "os/deploy_settings.h"
#include "os/unit_path.h"

Sandbox::Sandbox() {
    char tmpl[] = "/tmp/orv-test-XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (!made) throw std::runtime_error("mkdtemp failed");
    root_ = made;
    for (const char* dir : {"var/kelvatro/conf", "var/kelvatro/bin", "usr/kelvatro/conf",
                            "usr/kelvatro/upload", "usr/kelvatro/log", "var/www", "etc", "sim"})
        fs::create_directories(fs::path(root_) / dir);
    setenv("ORV_ROOT", root_.c_str(), 1);
    sandbox_reload();
    deploy_settings_reload();
    setup_change_forget();
}

Sandbox::~Sandbox() {
    unsetenv("ORV_ROOT");
    sandbox_reload();
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::string Sandbox::read(std::string_view unit_path) const {
    std::ifstream in(path(unit_path), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void Sandbox::write(std::string_view unit_path, std::string_view content) const {
    fs::create_directories(fs::path(path(unit_path)).parent_path());
    std::ofstream out(path(unit_path), std::ios::binary | std::ios::trunc);
    out << content;
}

Lines Sandbox::journal() const {
    Lines lines;
    std::ifstream in(path("/sim/commands.log"));
    for (std::string line; std::getline(in, line);) {
        const auto space = line.find(' ');
        lines.push_back(space == std::string::npos ? line : line.substr(space + 1));
    }
    return lines;
}

Lines Sandbox::log_lines() const {
    std::istringstream in(read("/var/www/StatusLog.txt"));
    Lines lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(std::min<size_t>(19, line.size())) + "\n");
    return lines;
}

std::string Sandbox::log() const {
    std::string text;
    for (const std::string& line : log_lines())
        text += line;
    return text;
}
