// The command runner under a sandbox: what is journaled, what really runs,
// and that nothing aimed at the host ever does.
#include "os/clock.h"
#include "os/command_guard.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "sandbox.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

class ShellTest : public SandboxTest {
  protected:
    // An executable script at a host path.
    static void write_script(const std::string& path, const std::string& body) {
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
    }
};

// Programs named after the host commands, first on PATH, that would leave a
// marker if they were ever started.
class HostCommandGuardTest : public ShellTest {
  protected:
    void SetUp() override {
        bin_ = sandbox.root() + "/hostbin";
        marker_dir_ = sandbox.root() + "/markers";
        fs::create_directories(bin_);
        fs::create_directories(marker_dir_);
        for (const char* name : {"reboot", "date", "hwclock", "shutdown", "sudo", "ifconfig",
                                 "route", "service", "touch"})
            write_script(bin_ + "/" + name, "echo ran > " + marker_dir_ + "/" + name + "\n");
        const char* old = std::getenv("PATH");
        saved_path_ = old ? old : "";
        setenv("PATH", (bin_ + ":" + saved_path_).c_str(), 1);
    }
    void TearDown() override { setenv("PATH", saved_path_.c_str(), 1); }

    bool any_marker() const { return !fs::is_empty(marker_dir_); }

    std::string bin_, marker_dir_, saved_path_;
};

TEST_F(HostCommandGuardTest, HostCommandsAreJournaledButNeverRun) {
    const std::vector<std::string> commands = {"reboot",
                                               "date -s \"2024-01-05 09:07:03\"",
                                               "hwclock -wu",
                                               "shutdown -h now",
                                               "sudo /etc/init.d/ntp start",
                                               "/bin/date -s \"2024/1/5 09:07:03.123456\"",
                                               "ifconfig eth0 192.168.1.10 netmask 255.255.255.0"};
    for (const std::string& command : commands)
        EXPECT_EQ(0, run_command(command)) << command;
    EXPECT_FALSE(any_marker());
    EXPECT_EQ(commands, sandbox.journal());
}

TEST_F(HostCommandGuardTest, AHostCommandHiddenInALineStopsTheWholeLine) {
    const std::string out = sandbox.path("/var/www/out");
    sandbox.write("/var/www/f", "x;reboot\n");
    sandbox.write("/var/www/prog.awk", "BEGIN { system(\"reboot\") }\n");
    for (const char* line : {"echo a > /var/www/out; reboot",
                             "echo a > /var/www/out && date",
                             "echo a | touch x",
                             "echo $(reboot) > /var/www/out",
                             "echo `reboot` > /var/www/out",
                             "echo \"$(reboot)\" > /var/www/out",
                             "(reboot)",
                             "echo a\nreboot",
                             "xargs reboot < /var/www/out",
                             "sh -c reboot",
                             "FOO=1 reboot",
                             "$CMD",
                             "echo 'unterminated",
                             "/bin/sh /tmp/outside.sh",
                             "cd /tmp; sh x.sh",
                             "echo a || /sbin/reboot",
                             "echo reboot | sh",
                             "echo a & reboot",
                             "echo '{print \"kill \"}' | awk '{print $1}' | sh",
                             "echo 'x;reboot' | awk '{print \"kill \", $1}' | sh",
                             "ps | awk '{print \"kill \", $1; print \"reboot\"}' | sh",
                             "ps | grep x < /var/www/f | awk '{print \"kill \", $1}' | sh",
                             "echo 'BEGIN{system(\"reboot\")}' | xargs awk",
                             "awk -f /var/www/prog.awk",
                             "echo reboot | xargs -I{} sh -c {}",
                             "sed -n '1e reboot' /var/www/f",
                             "sed -n -e 's/^/x/e' /var/www/f",
                             "tar -xf /var/www/f --to-command=reboot"})
        EXPECT_EQ(0, run_command(line)) << line;
    EXPECT_FALSE(any_marker());
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(29u, sandbox.journal().size()); // the line with a newline takes two
}

TEST_F(ShellTest, JournalLineIsTimeAndCommandAsGivenInADirectoryMadeWhenMissing) {
    sandbox.remove("/sim");
    sandbox.write("/var/kelvatro/conf/a.ini", "a");
    run_command("cp -p /var/kelvatro/conf/a.ini /usr/kelvatro/conf/");
    std::ifstream in(sandbox.path("/sim/commands.log"));
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_TRUE(std::regex_match(
        line,
        std::regex(R"([0-9]{10}\.[0-9]{6} cp -p /var/kelvatro/conf/a\.ini /usr/kelvatro/conf/)")))
        << line;
    EXPECT_FALSE(std::getline(in, line));
    EXPECT_EQ("a", sandbox.read("/usr/kelvatro/conf/a.ini"));
}

TEST_F(ShellTest, FileToolsAndRedirectionsRunOnSandboxFiles) {
    EXPECT_EQ(0, run_command("echo \"interface eth0\" >> /var/kelvatro/conf/dhcpcd.conf"));
    EXPECT_EQ("interface eth0\n", sandbox.read("/var/kelvatro/conf/dhcpcd.conf"));
    EXPECT_EQ(0, run_command("grep \"interface eth0\" /var/kelvatro/conf/dhcpcd.conf"));
    EXPECT_EQ(1, run_command("grep \"static routers=\" /var/kelvatro/conf/dhcpcd.conf"));
    EXPECT_EQ(0, run_command("rm -rf /var/kelvatro/conf/dhcpcd.conf"));
    EXPECT_FALSE(sandbox.exists("/var/kelvatro/conf/dhcpcd.conf"));
    EXPECT_EQ(0, run_command("echo END > /var/kelvatro/maincontrol 2>&1"));
    EXPECT_EQ("END\n", sandbox.read("/var/kelvatro/maincontrol"));
    sandbox.write("/var/www/f", "y\n");
    EXPECT_EQ(1, run_command("grep x /var/kelvatro/none 2>/dev/null; grep -q x /var/www/f 2>&1"));
}

TEST_F(ShellTest, ScriptInsideRootRunsAfterCdAndACdThatFailsRunsNothing) {
    write_script(sandbox.path("/usr/kelvatro/upload/setup.sh"), "echo done > setup.out\n");
    EXPECT_EQ(0, run_command("cd /usr/kelvatro/upload; /bin/sh setup.sh; sync;"));
    EXPECT_EQ("done\n", sandbox.read("/usr/kelvatro/upload/setup.out"));

    write_script(sandbox.path("/var/kelvatro/bin/gpio_restart.sh"), "echo restarted > /tmp/x\n");
    EXPECT_EQ(0, run_command("/bin/sh /var/kelvatro/bin/gpio_restart.sh; sync;"));
    EXPECT_FALSE(sandbox.exists("/usr/kelvatro/upload/x"));

    sandbox.remove("/usr/kelvatro/upload");
    std::ofstream("setup.sh") << "echo ran > " << sandbox.path("/var/www/ran") << "\n";
    EXPECT_EQ(0, run_command("cd /usr/kelvatro/upload; /bin/sh setup.sh; sync;"));
    fs::remove("setup.sh");
    EXPECT_FALSE(sandbox.exists("/var/www/ran"));
}

TEST_F(ShellTest, WritesOutsideTheRootAreRefused) {
    const fs::path outside =
        fs::temp_directory_path() / ("orv-outside-" + std::to_string(getpid()));
    const std::string host = outside.string();
    std::ofstream(host) << "keep";
    sandbox.write("/var/www/f", "sandbox");
    for (const std::string& line : std::vector<std::string>{
             "rm -rf " + host, "rm -rf /var/kelvatro/../../" + outside.filename().string(),
             "rm -rf /var/www/../..", "cp /var/www/f " + host, "echo x > " + host,
             "echo x >> /var/www/../../" + outside.filename().string(),
             "sed -i -e 's/keep/lost/' " + host, "grep -l keep " + host + " | xargs rm",
             "tar cf " + host + " /var/www", "awk '{system(\"rm " + host + "\")}' /var/www/f",
             "kill -0 -1 && echo x > /var/www/f", "kill -0 1 && echo x > /var/www/f",
             "kill -0 -- -1 && echo x > /var/www/f",
             "echo 1 | xargs kill -0 && echo x > /var/www/f",
             "echo " + host + " | xargs sed -i 's/keep/lost/'",
             "grep -l keep " + host + " | xargs sed -i 's/keep/lost/'",
             "sed -n 's/keep/lost/w " + host + "' /var/www/f",
             "cp --remove-destination --target-directory=" + outside.parent_path().string() +
                 " /var/www/f"})
        EXPECT_EQ(0, run_command(line)) << line;
    std::string kept;
    std::getline(std::ifstream(host), kept);
    EXPECT_EQ("keep", kept);
    EXPECT_EQ("sandbox", sandbox.read("/var/www/f"));
    EXPECT_FALSE(fs::exists(outside.parent_path() / "f"));
    fs::remove(outside);
}

// The guard's verdicts, "R" standing for the root: the unit's own commands
// pass; globs that could match "..", a NUL byte, names xargs would hand on as
// options, reads outside the root and links leading out of it do not.
TEST_F(ShellTest, GuardKeepsTheUnitsCommandsAndRefusesEveryWayOut) {
    fs::create_directory_symlink(fs::temp_directory_path(), sandbox.path("/var/www/away"));
    const std::string nul(1, '\0');
    const std::pair<std::string, bool> verdicts[] = {
        {"rm -rf /var/kelvatro/conf//Setup_* /usr/kelvatro/conf//*.mem /usr/kelvatro/log/*", true},
        {"grep -l 'fudge 127.127.1.0 stratum' /var/kelvatro/conf/ntp.conf | xargs sed -i -e "
         "'s/fudge 127.127.1.0 stratum.*/fudge 127.127.1.0 stratum 6/g'",
         true},
        {"grep \"interface eth0\" /var/kelvatro/conf/dhcpcd.conf", true},
        {"cp /var/www/m R/.?", false},
        {"rm -rf /var/www/.* /var/www/x", false},
        {"rm -rf /var/www/[.]?", false},
        {"cp /var/www/* /var/kelvatro/", false},
        {"cp /var/www/m /tmp" + nul + "/..R/var/www/n", false},
        {"grep -l x '/var/www/a \"--expression=1e touch X\"' | xargs sed -i -e 's/a/b/'", false},
        {"cd /var/www; grep -l x * | xargs sed -i -e 's/a/b/'", false},
        {"grep -l -r /var/www /var/www/f | xargs sed -i -e 's/a/b/'", false},
        {"awk '{print}' /tmp/secret > /var/www/x", false},
        {"awk 'BEGIN { ARGV[1] = \"/tmp/secret\"; ARGC = 2 } { print }' > /var/www/x", false},
        {"grep '' /tmp/secret > /var/www/x", false},
        {"egrep -f /tmp/secret /var/www/f", false},
        {"echo /tmp/secret | xargs grep root > /var/www/x", false},
        {"cp /var/www/m /var/www/away/", false},
        {"rm -rf /var/www/away/*", false},
        {"ps | grep '' | awk '{print \"kill \", $1}' | sh", false},
        {"ps | grep '/bin/sh /tmp/x' | egrep -v grep | awk '{print \"kill \", $1}' | sh", false},
        {"ps | grep '/bin/sh sim/x' | egrep -v grep | awk '{print \"kill \", $1}' | sh", false},
    };
    for (const auto& [line, allowed] : verdicts) {
        std::string command = line;
        if (const size_t r = command.find("R/"); r != std::string::npos)
            command.replace(r, 1, sandbox.root());
        EXPECT_EQ(command_stays_in_sandbox(map_unit_paths_in_command(command)), allowed) << line;
    }
}

// Only a process whose environment names this root may be signalled.
TEST_F(ShellTest, KillReachesOnlyProcessesOfTheSandbox) {
    // A `sleep 60` with the given environment, once it runs: the exec closes
    // the pipe, and the read sees its end.
    const auto start = [](const std::string& environment) {
        char* envp[] = {const_cast<char*>(environment.c_str()), nullptr};
        int ready[2];
        EXPECT_EQ(0, pipe2(ready, O_CLOEXEC));
        const pid_t pid = fork();
        if (pid == 0) {
            execle("/bin/sleep", "sleep", "60", nullptr, envp);
            _exit(127);
        }
        close(ready[1]);
        char byte;
        EXPECT_EQ(0, read(ready[0], &byte, 1));
        close(ready[0]);
        return pid;
    };
    const pid_t ours = start("ORV_ROOT=" + sandbox.root());
    const pid_t other = start("ORV_ROOT=/tmp");
    for (const pid_t pid : {other, getpid(), ours})
        run_command("kill " + std::to_string(pid));
    int status = 0;
    ASSERT_EQ(ours, waitpid(ours, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(0, waitpid(other, &status, WNOHANG));
    kill(other, SIGKILL);
    waitpid(other, &status, 0);
}

TEST_F(ShellTest, KillLineOfTheEndScriptRuns) {
    const std::string line = "ps | grep '/bin/sh /var/kelvatro/bin/kelvsys_end' | egrep -v grep | "
                             "awk '{print \"kill \", $1}' | sh";
    EXPECT_EQ(0, run_command(line));
    EXPECT_EQ(std::vector<std::string>{line}, sandbox.journal());
    // It is run, not only journaled: what follows it in the same line runs too.
    run_command(line + "; echo ran > /var/www/ran");
    EXPECT_EQ("ran\n", sandbox.read("/var/www/ran"));
}

TEST_F(ShellTest, QuotedFileNameNeverRunsACommand) {
    // An injected command would leave "pwned" in the working directory.
    const fs::path saved = fs::current_path();
    fs::current_path(sandbox.path("/var/www"));
    for (const char* name :
         {"a;touch pwned", "$(touch pwned)", "`touch pwned`", "a'; touch pwned; '",
          "a\"; touch pwned; \"", "a\ntouch pwned", "a|touch pwned", "a&&touch pwned", "-x y"}) {
        const std::string path = std::string("/var/kelvatro/conf/") + name;
        sandbox.write(path, "data");
        run_command("cp -p " + shell_quote(path) + " /usr/kelvatro/conf/");
        EXPECT_EQ("data", sandbox.read(std::string("/usr/kelvatro/conf/") + name)) << name;
        run_command("rm -rf " + shell_quote(path));
        EXPECT_FALSE(sandbox.exists(path)) << name;
    }
    fs::current_path(saved);
    EXPECT_FALSE(sandbox.exists("/var/www/pwned"));
}

TEST(ShellQuote, PlainPathsStayAndOthersAreSingleQuoted) {
    EXPECT_EQ("/var/kelvatro/conf/Setup_05_01.ini",
              shell_quote("/var/kelvatro/conf/Setup_05_01.ini"));
    EXPECT_EQ("a-b+c,d:e@f%g=h", shell_quote("a-b+c,d:e@f%g=h"));
    EXPECT_EQ("''", shell_quote(""));
    EXPECT_EQ("'a b'", shell_quote("a b"));
    EXPECT_EQ("'it'\\''s'", shell_quote("it's"));
    EXPECT_EQ("'$(x)'", shell_quote("$(x)"));
    EXPECT_EQ("'a;b'", shell_quote("a;b"));
}

TEST_F(ShellTest, UnitPathsMapWhereAWordBegins) {
    const std::string& r = sandbox.root();
    EXPECT_EQ(r + "/var/www/x", unit_path("/var/www/x"));
    EXPECT_EQ("rel/x", unit_path("rel/x"));
    EXPECT_EQ("cp -p '" + r + "/var/kelvatro/a b' " + r + "/usr/kelvatro/conf/",
              map_unit_paths_in_command("cp -p '/var/kelvatro/a b' /usr/kelvatro/conf/"));
    EXPECT_EQ("echo \"x\" >" + r + "/etc/resolv.conf <" + r + "/dev/kelvatro_hwreg0",
              map_unit_paths_in_command("echo \"x\" >/etc/resolv.conf </dev/kelvatro_hwreg0"));
    EXPECT_EQ("a=" + r + "/var/www \"" + r + "/etc/x\"",
              map_unit_paths_in_command("a=/var/www \"/etc/x\""));
    EXPECT_EQ("/bin/date x/var/www /etc", map_unit_paths_in_command("/bin/date x/var/www /etc"));
}

TEST(UnitPath, WithoutRootPathsStandAsTheyAre) {
    unsetenv("ORV_ROOT");
    sandbox_reload();
    EXPECT_FALSE(sandboxed());
    EXPECT_EQ("/var/www/StatusLog.txt", unit_path("/var/www/StatusLog.txt"));
    EXPECT_EQ("cp /var/www/a /etc/", map_unit_paths_in_command("cp /var/www/a /etc/"));
}

TEST_F(ShellTest, ClockIsJournaledNotSet) {
    EXPECT_EQ(0, set_system_clock(1704413223, 5));
    EXPECT_EQ(std::vector<std::string>{"clock_settime 1704413223.000005"}, sandbox.journal());
}

} // namespace
