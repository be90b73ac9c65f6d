// The command runner under a sandbox: what is journaled, what really runs,
// and that nothing aimed at the host ever does.
#include "command_guard.h"
#include "os/clock.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "sandbox.h"

#include <csignal>
#include <sys/wait.h>

namespace {

// Programs named after the host commands, first on PATH, would leave a marker
// (the guard's refusal of the other host commands: its fuzz target's seeds). A
// script is journaled with its text, never run (setup.sh after a cd: e2e
// reboots); a cd that fails leaves the script unread.
TEST_F(SandboxTest, HostCommandsAndScriptsAreJournaledButNeverRun) {
    const std::string bin = sandbox.root() + "/hostbin", saved_path = std::getenv("PATH");
    const std::string end = sandbox.path("/var/kelvatro/bin/end"),
                      ran = sandbox.path("/var/www/ran");
    fs::create_directories(bin);
    for (const std::string& path : {bin + "/reboot", bin + "/date", end}) {
        std::ofstream(path) << "#!/bin/sh\necho ran > " << ran << "\n";
        chmod(path.c_str(), 0755);
    }
    setenv("PATH", (bin + ":" + saved_path).c_str(), 1);
    const Lines commands = {"date -s \"2024-01-05 09:07:03\"", "echo a > /var/www/out; reboot",
                            "sh /var/kelvatro/bin/end",
                            "cd /usr/kelvatro/none; /bin/sh setup.sh; sync;"};
    for (const std::string& command : commands)
        EXPECT_EQ(0, run_command(command)) << command;
    setenv("PATH", saved_path.c_str(), 1);
    EXPECT_FALSE(sandbox.exists("/var/www/ran"));
    EXPECT_FALSE(sandbox.exists("/var/www/out"));
    EXPECT_EQ(commands, sandbox.journal());
    EXPECT_EQ("script " + end + "\n#!/bin/sh\necho ran > " + ran + "\n",
              sandbox.read("/sim/scripts.log"));
}

// A clock command and the precise setting after it are both journaled, the
// setting's time carried on by what the command took.
TEST_F(SandboxTest, ClockCommandAndItsSettingAreJournaled) {
    const int64_t at_us = monotonic_us();
    EXPECT_EQ(0, run_clock_command("date -s \"2031-01-02 03:04:05\"", 1925000000000000,
                                   1925000000000000, at_us));
    const int64_t most_us = monotonic_us() - at_us;
    const Lines journal = sandbox.journal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0], "date -s \"2031-01-02 03:04:05\"");
    long long seconds = 0, us = 0;
    ASSERT_EQ(std::sscanf(journal[1].c_str(), "clock_settime %lld.%6lld", &seconds, &us), 2);
    const int64_t carried_us = (seconds - 1925000000) * 1000000 + us;
    EXPECT_TRUE(carried_us >= 0 && carried_us <= most_us) << journal[1];
}

// The guard's verdicts, "R" standing for the root.
TEST_F(SandboxTest, GuardKeepsTheUnitsCommandsAndRefusesEveryWayOut) {
    int exec_done[2]; // a process started here: its environment names the root once it execs
    ASSERT_EQ(0, pipe2(exec_done, O_CLOEXEC));
    const pid_t inside = fork();
    if (inside == 0) execlp("sleep", "sleep", "60", nullptr), _exit(1);
    close(exec_done[1]), read(exec_done[0], &exec_done[1], 1), close(exec_done[0]);
    const std::string kill_end = "ps | grep '/bin/sh /var/kelvatro/bin/kelvsys_end' | egrep -v "
                                 "grep | awk '{print \"kill \", $1}' | sh";
    // The unit's own commands pass: run below, by e2e reboots (rm -rf), and by
    // the stratum edit and the dhcpcd entries of NtpServer and NetworkFileTest.
    // The refusals its fuzz oracle makes (each way out it knows): the seeds.
    const Lines refused = {
        // scripts, never run (see below)
        "/bin/sh /var/kelvatro/bin/kelvsys_end",
        "echo \"$(reboot)\"",
        "echo 'unterminated",
        "tar -xf /var/www/f --to-command=reboot",
        "cp --remove-destination --target-directory=/tmp /var/www/f",
        // globs that could match ".." or a name outside
        "cp /var/www/m R/.?",
        "cp /var/www/m /tmp" + std::string(1, '\0') + "/..R/var/www/n",
        // a keyring outside the root
        "sqv --keyring=/tmp/k.pgp -- /var/www/s /var/www/f",
        // a signal to a process outside the sandbox: this one's parent
        "kill -0 " + std::to_string(getppid()),
        // tar in another directory, where the name leads out of the root
        "cd /usr/kelvatro/upload; tar -C /var/www -cf a.tar ../../../x",
    };
    fs::create_directories(sandbox.path("/usr/kelvatro/upload"));
    for (std::string command : refused) {
        if (const size_t r = command.find("R/"); r != std::string::npos)
            command.replace(r, 1, sandbox.root());
        EXPECT_FALSE(command_stays_in_sandbox(map_unit_paths_in_command(command))) << command;
    }
    // The kill line of the end script really runs, and what follows it too.
    EXPECT_EQ(0, run_command(kill_end + "; echo ran > /var/www/ran"));
    EXPECT_EQ("ran\n", sandbox.read("/var/www/ran"));
    EXPECT_EQ(0, run_command("kill " + std::to_string(inside)));
    int status = 0;
    EXPECT_EQ(inside, waitpid(inside, &status, 0));
    EXPECT_EQ(SIGTERM, WTERMSIG(status));
}

// An archive is unpacked only when no member leads out of the directory: a
// link of its own leading out, or passed through to a path beyond it.
TEST_F(SandboxTest, GuardUnpacksOnlyArchivesWhoseMembersStayInside) {
    const std::string made = sandbox.path("/var/www/made");
    // The shell lines that make the archive (../a.tgz) in an empty directory,
    // member after member; whether the guard lets it be unpacked elsewhere.
    const std::pair<std::string, bool> archives[] = {
        {"echo x > f; mkdir d; ln -s ../f d/l; ln f h; ln -s d/l k; tar czf ../a.tgz f d h k",
         true},
        {"ln -s /tmp lnk; tar cf ../a.tgz lnk; rm lnk; mkdir lnk; echo x > lnk/file; "
         "tar rf ../a.tgz lnk/file",
         false},
        {"ln -s ../../.. up; tar czf ../a.tgz up", false},
        {"ln -s /tmp out; tar czf ../a.tgz out", false},
        {"ln -s . x; ln -s x/.. y; tar cf ../a.tgz x y", false},
        {"mkfifo p; tar cf ../a.tgz p", false},
        {"echo x > f; tar czf ../a.tgz f; echo broken > ../a.tgz", false},
    };
    for (const auto& [making, allowed] : archives) {
        sandbox.remove("/var/www/made");
        fs::create_directories(made + "/to");
        ASSERT_EQ(0,
                  run_through_shell("mkdir " + made + "/from && cd " + made + "/from && " + making))
            << making;
        EXPECT_EQ(allowed, command_stays_in_sandbox(map_unit_paths_in_command(
                               "cd /var/www/made/to; tar xzvf ../from/../a.tgz")))
            << making;
    }
    EXPECT_FALSE(command_stays_in_sandbox(map_unit_paths_in_command("tar xvf"))); // stdin
}

// Quoted names as the shell reads them (plain paths stay as they are: the
// journaled commands of NtpServer and NetworkFileTest).
TEST(ShellQuote, PlainPathsStayAndQuotesAreClosedAroundAnEscapedOne) {
    EXPECT_EQ("''", shell_quote(""));
    EXPECT_EQ("'a;b$(c) -x'", shell_quote("a;b$(c) -x"));
    EXPECT_EQ("'it'\\''s'", shell_quote("it's"));
}

TEST_F(SandboxTest, UnitPathsMapWhereAWordBegins) {
    const std::string& r = sandbox.root();
    EXPECT_EQ("cp -p '" + r + "/var/kelvatro/a b' " + r + "/usr/kelvatro/conf/",
              map_unit_paths_in_command("cp -p '/var/kelvatro/a b' /usr/kelvatro/conf/"));
    EXPECT_EQ("echo \"x\" >" + r + "/etc/resolv.conf <" + r + "/dev/kelvatro_hwreg0",
              map_unit_paths_in_command("echo \"x\" >/etc/resolv.conf </dev/kelvatro_hwreg0"));
    EXPECT_EQ("a=" + r + "/var/www \"" + r + "/etc/x\"",
              map_unit_paths_in_command("a=/var/www \"/etc/x\""));
    EXPECT_EQ("/bin/date x/var/www /etc", map_unit_paths_in_command("/bin/date x/var/www /etc"));
}

} // namespace
