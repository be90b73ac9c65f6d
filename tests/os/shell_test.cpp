// The command runner under a sandbox: what is journaled, what really runs,
// and that nothing aimed at the host ever does.
#include "os/command_guard.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "sandbox.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

void write_script(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
}

// Programs named after the host commands, first on PATH, would leave a marker.
TEST_F(SandboxTest, HostCommandsAreJournaledButNeverRun) {
    const std::string bin = sandbox.root() + "/hostbin", saved_path = std::getenv("PATH");
    fs::create_directories(bin);
    for (const char* name : {"reboot", "date", "hwclock", "shutdown", "sudo", "ifconfig"})
        write_script(bin + "/" + name, "echo ran > " + sandbox.path("/var/www/ran") + "\n");
    setenv("PATH", (bin + ":" + saved_path).c_str(), 1);
    const Lines commands = {"date -s \"2024-01-05 09:07:03\"", "hwclock -wu", "shutdown -h now",
                            "ifconfig eth0 192.168.1.10 netmask 255.255.255.0",
                            "echo a > /var/www/out; reboot"};
    for (const std::string& command : commands)
        EXPECT_EQ(0, run_command(command)) << command;
    setenv("PATH", saved_path.c_str(), 1);
    EXPECT_FALSE(sandbox.exists("/var/www/ran"));
    EXPECT_FALSE(sandbox.exists("/var/www/out"));
    EXPECT_EQ(commands, sandbox.journal());
}

// The guard's verdicts, "R" standing for the root.
TEST_F(SandboxTest, GuardKeepsTheUnitsCommandsAndRefusesEveryWayOut) {
    fs::create_directory_symlink(fs::temp_directory_path(), sandbox.path("/var/www/away"));
    int exec_done[2]; // a process started here: its environment names the root once it execs
    ASSERT_EQ(0, pipe2(exec_done, O_CLOEXEC));
    const pid_t inside = fork();
    if (inside == 0) execlp("sleep", "sleep", "60", nullptr), _exit(1);
    close(exec_done[1]), read(exec_done[0], &exec_done[1], 1), close(exec_done[0]);
    const std::string kill_end = "ps | grep '/bin/sh /var/kelvatro/bin/kelvsys_end' | egrep -v "
                                 "grep | awk '{print \"kill \", $1}' | sh";
    const Lines allowed = {
        "rm -rf /var/kelvatro/conf//Setup_* /usr/kelvatro/conf//*.mem /usr/kelvatro/log/*",
        "grep -l 'fudge 127.127.1.0 stratum' /var/kelvatro/conf/ntp.conf | xargs sed -i -e "
        "'s/fudge 127.127.1.0 stratum.*/fudge 127.127.1.0 stratum 6/g'",
        "echo \"interface eth0\" >> /var/kelvatro/conf/dhcpcd.conf",
        kill_end + "; echo ran > /var/www/ran",
        "kill " + std::to_string(inside),
    };
    const Lines refused = {
        // scripts, never run (see below)
        "cd /usr/kelvatro/upload; tar xzvf data.tar.gz; /bin/sh setup.sh; sync;",
        "/bin/sh /var/kelvatro/bin/kelvsys_end",
        "echo a && /bin/date -s \"2024/1/5 09:07:03.123456\"",
        "echo \"$(reboot)\"",
        "echo a\nreboot",
        "FOO=1 reboot",
        "$CMD",
        "echo 'unterminated",
        "cd /tmp; sh x.sh",
        "echo reboot | sh",
        "xargs reboot < /var/www/out",
        "ps | awk '{print \"kill \", $1; print \"reboot\"}' | sh",
        "echo 'BEGIN{system(\"reboot\")}' | xargs awk",
        "awk '{system(\"rm /tmp/x\")}' /var/www/f",
        "sed -n '1e reboot' /var/www/f",
        "sed -n 's/a/b/w /tmp/x' /var/www/f",
        "tar -xf /var/www/f --to-command=reboot",
        "tar cf /tmp/x /var/www",
        "rm -rf /var/kelvatro/../../../x",
        "cp --remove-destination --target-directory=/tmp /var/www/f",
        "cp /var/www/m /var/www/away/",
        // globs that could match ".." or a name outside
        "cp /var/www/m R/.?",
        "cp /var/www/m /tmp" + std::string(1, '\0') + "/..R/var/www/n",
        // names that xargs would hand on to sed as options or from outside
        "grep -l x '/var/www/a \"--expression=1e touch X\"' | xargs sed -i -e 's/a/b/'",
        "echo /tmp/x | xargs sed -i 's/keep/lost/'",
        // reads outside
        "awk 'BEGIN { ARGV[1] = \"/tmp/secret\"; ARGC = 2 } { print }' > /var/www/x",
        "grep '' /tmp/secret > /var/www/x",
        // signals to processes outside the sandbox (this one's parent too)
        "kill -0 " + std::to_string(getppid()),
        "ps | grep '/bin/sh /tmp/x' | egrep -v grep | awk '{print \"kill \", $1}' | sh",
    };
    for (const bool allow : {true, false}) {
        for (std::string command : allow ? allowed : refused) {
            if (const size_t r = command.find("R/"); r != std::string::npos)
                command.replace(r, 1, sandbox.root());
            EXPECT_EQ(command_stays_in_sandbox(map_unit_paths_in_command(command)), allow)
                << command;
        }
    }
    // The kill line of the end script really runs, and what follows it too.
    EXPECT_EQ(0, run_command(kill_end + "; echo ran > /var/www/ran"));
    EXPECT_EQ("ran\n", sandbox.read("/var/www/ran"));
    EXPECT_EQ(0, run_command("kill " + std::to_string(inside)));
    int status = 0;
    EXPECT_EQ(inside, waitpid(inside, &status, 0));
    EXPECT_EQ(SIGTERM, WTERMSIG(status));
}

// A script is journaled with its text, never run; what goes with it runs, so
// a cd that fails leaves the script unread.
TEST_F(SandboxTest, ScriptsAreJournaledWithTheirTextNeverRun) {
    write_script(sandbox.path("/usr/kelvatro/upload/setup.sh"), "echo done > setup.out\n");
    EXPECT_EQ(0, run_command("cd /usr/kelvatro/upload; /bin/sh setup.sh; sync;"));
    write_script(sandbox.path("/var/kelvatro/bin/end"), "reboot\n");
    EXPECT_EQ(0, run_command("sh /var/kelvatro/bin/end"));
    EXPECT_FALSE(sandbox.exists("/usr/kelvatro/upload/setup.out"));
    sandbox.remove("/usr/kelvatro/upload");
    EXPECT_EQ(0, run_command("cd /usr/kelvatro/upload; /bin/sh setup.sh; sync;"));
    EXPECT_EQ("script setup.sh\n#!/bin/sh\necho done > setup.out\nscript " +
                  sandbox.path("/var/kelvatro/bin/end") + "\n#!/bin/sh\nreboot\n",
              sandbox.read("/sim/scripts.log"));
}

// Plain paths stay as they are; an injected command would leave "pwned".
TEST_F(SandboxTest, QuotedFileNameNeverRunsACommand) {
    EXPECT_EQ("/var/kelvatro/conf/Setup_05_01.ini",
              shell_quote("/var/kelvatro/conf/Setup_05_01.ini"));
    EXPECT_EQ("''", shell_quote(""));
    EXPECT_EQ("'it'\\''s'", shell_quote("it's"));
    const fs::path saved = fs::current_path();
    fs::current_path(sandbox.path("/var/www"));
    for (const char* name : {"a;touch pwned", "$(touch pwned)", "a'; touch pwned; '", "-x y"}) {
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

TEST_F(SandboxTest, UnitPathsMapWhereAWordBegins) {
    const std::string& r = sandbox.root();
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

} // namespace
