// Updates through [UpLoad] and [UpLoadFpga], signed with throwaway keys made by
// gpg: installed from a private copy only, or refused with nothing changed.
#include "fake_unit_clock.h"
#include "guarded_shell.h"
#include "main/command.h"
#include "main/update.h"
#include "main_fixture.h"
#include "os/deploy_settings.h"
#include "os/shell.h"
#include "os/unit_path.h"

namespace {

const std::string kHome = "/tmp/orv-update-keys." + std::to_string(getpid());
const std::string kGpg = "gpg --homedir " + kHome + " --batch -q ";

// The key "maker"'s fingerprint, made once with "other"; their agent ends with us.
const std::string& maker() {
    static const std::string fingerprint = [] {
        run_through_shell(
            "mkdir -m 700 " + kHome + "; for k in maker other; do " + kGpg +
            "--passphrase '' --quick-gen-key $k ed25519 sign never; done 2>/dev/null; " + kGpg +
            "--with-colons -k maker | awk -F: '/^fpr/ {print $10}' >" + kHome + "/fpr");
        std::atexit([] {
            run_through_shell("gpgconf --homedir " + kHome + " --kill gpg-agent; rm -rf " + kHome);
        });
        std::string made;
        std::ifstream(kHome + "/fpr") >> made;
        return made;
    }();
    return fingerprint;
}

// While the signature is checked, the upload folder gets another package.
int tampering_runner(const std::string& command) {
    if (command.find(" sqv ") != std::string::npos)
        run_through_shell("cd " + unit_path("/usr/kelvatro/upload") +
                          " && echo 'echo tampered' > setup.sh && tar czf data.tar.gz setup.sh");
    return run_guarded(command);
}

class UpdateTest : public MainTest {
  protected:
    void SetUp() override {
        MainTest::SetUp();
        ASSERT_FALSE(maker().empty());
        ASSERT_EQ(0, run_through_shell("cd " + sandbox.path("/etc") +
                                       " && mkdir -p orv-main/update-keys && " + kGpg +
                                       "--export maker > orv-main/update-keys/maker.pgp"));
    }
    // setup.sh (after the shell line `more`) packed into data.tar.gz, signed.
    void package(const std::string& signer = "maker", const std::string& more = "") {
        const std::string archive = sandbox.path("/usr/kelvatro/upload/data.tar.gz");
        sandbox.remove("/sim/pack");
        sandbox.write("/sim/pack/setup.sh", "echo installed\n");
        ASSERT_EQ(0, run_through_shell("cd " + sandbox.path("/sim/pack") + more + " && tar czf " +
                                       archive + " . && " + kGpg + "--yes -u " + signer +
                                       " --detach-sign " + archive));
    }
    // The result as the next start reads it.
    static UpdateResult kept() {
        last_update = {};
        update_result_load();
        return last_update;
    }
};

// The signed setup.sh runs, in a private directory made anew (one left by an
// update cut short) and removed after it, whatever the upload folder holds;
// its scripts take minutes, so the service manager is asked for an hour first.
TEST_F(UpdateTest, ASignedPackageIsInstalledFromItsPrivateCopy) {
    const std::string check = "cd /usr/kelvatro/update; sqv --keyring=/etc/orv-main/update-keys/"
                              "maker.pgp -- data.tar.gz.sig data.tar.gz > signers.txt",
                      list = "cd /usr/kelvatro/update; tar tzvf data.tar.gz --numeric-owner "
                             "--full-time --quoting-style=c > members.txt",
                      unpack = "cd /usr/kelvatro/update; tar xzvf data.tar.gz --no-same-owner; ";
    // The word, the flags after it, the journal, the scripts it starts.
    const std::tuple<const char*, const char*, Lines, std::string> cases[] = {
        {"[UpLoad]",
         "010",
         {check, list, unpack + "/bin/sh setup.sh; sync;"},
         "script setup.sh\necho installed\n"},
        {"[UpLoadFpga]",
         "000",
         {check, list,
          "ps | grep '/bin/sh /var/kelvatro/bin/kelvsys_end' | egrep -v grep | awk '{print "
          "\"kill \", $1}' | sh",
          unpack + "/bin/sh setup_fpga.sh ; sync;", "/bin/sh /var/kelvatro/bin/kelvsys_end"},
         "script setup_fpga.sh\nscript " + sandbox.path("/var/kelvatro/bin/kelvsys_end") + "\n"},
    };
    shell_set_sandbox_runner(tampering_runner);
    NotifySocket manager(sandbox.path("/notify"));
    for (const auto& [word, flags, journal, scripts] : cases) {
        package();
        sandbox.remove("/sim"), sandbox.write("/usr/kelvatro/update/left", "cut short");
        main_flags = {1, 1, 0};
        EXPECT_EQ(0, main_command(word));
        EXPECT_EQ(manager.next(), "WATCHDOG_USEC=3600000000");
        EXPECT_EQ(std::to_string(main_flags.running) + std::to_string(main_flags.reboot) +
                      std::to_string(main_flags.shutdown),
                  flags);
        EXPECT_EQ(sandbox.journal(), journal) << word;
        EXPECT_EQ(sandbox.read("/sim/scripts.log"), scripts);
        EXPECT_FALSE(sandbox.exists("/usr/kelvatro/update"));
        EXPECT_EQ(sandbox.log_lines().back(),
                  " <INF> Update signed by key " + maker() + ": installing\n");
        EXPECT_TRUE(kept().at_s > 0 && !last_update.refused && last_update.detail == maker());
    }
    shell_set_sandbox_runner(nullptr);
}

// Whatever the refusal (a FIFO would hold the unit; ORV_UPDATE_KEYS), nothing is
// unpacked or run, the unit serves on, and the refusal is kept.
TEST_F(UpdateTest, EachRefusalLeavesEverythingAsItWasWithItsLine) {
    const std::string no_key = "data.tar.gz has no good signature by a key of ",
                      sig = "/usr/kelvatro/upload/data.tar.gz.sig";
    const std::tuple<const char*, std::function<void()>, std::string> cases[] = {
        {"[UpLoad]", [&] { sandbox.remove("/usr/kelvatro/upload/data.tar.gz"); },
         "/usr/kelvatro/upload/data.tar.gz missing"},
        {"[UpLoadFpga]", [&] { sandbox.remove(sig); }, sig + " missing"},
        {"[UpLoad]", [&] { package("other"); }, no_key + "/etc/orv-main/update-keys/"},
        {"[UpLoadFpga]",
         [&] {
             std::ofstream(sandbox.path("/usr/kelvatro/upload/data.tar.gz"), std::ios::app) << 0;
         },
         no_key + "/etc/orv-main/update-keys/"},
        {"[UpLoad]", [&] { sandbox.write(kDeploySettingsPath, "ORV_UPDATE_KEYS=/etc/none\n"); },
         "no update keys (*.pgp, *.gpg, *.asc) in /etc/none"},
        {"[UpLoad]", [&] { package("maker", " && ln -s /etc up"); },
         "member ./up of data.tar.gz leads out of its directory"},
        {"[UpLoad]", [&] { chmod(sandbox.path("/etc/orv-main/update-keys").c_str(), 0775); },
         "/etc/orv-main/update-keys/ may be written by others than root"},
        {"[UpLoad]",
         [&] { chmod(sandbox.path("/etc/orv-main/update-keys/maker.pgp").c_str(), 0664); },
         "/etc/orv-main/update-keys/maker.pgp may be written by others than root"},
        {"[UpLoad]", [&] { sandbox.remove(sig), mkfifo(sandbox.path(sig).c_str(), 0600); },
         sig + " is no regular file"}, // last: gpg would wait on it
    };
    const auto upload = [&] {
        const fs::directory_iterator names(sandbox.path("/usr/kelvatro/upload"));
        return std::to_string(std::distance(names, {})) +
               sandbox.read("/usr/kelvatro/upload/data.tar.gz");
    };
    FakeUnitClock clock; // a second between the rows: each is checked and logged
    for (const auto& [word, spoil, why] : cases) {
        clock.advance_seconds(1);
        package();
        sandbox.remove("/sim"), sandbox.remove("/var/www/StatusLog.txt");
        sandbox.remove(kDeploySettingsPath);
        chmod(sandbox.path("/etc/orv-main/update-keys").c_str(), 0755);
        spoil();
        deploy_settings_reload();
        const std::string before = upload();
        main_flags = {1, 1, 0};
        EXPECT_EQ(1, main_command(word)) << why;
        EXPECT_TRUE(main_flags.running && main_flags.reboot) << why;
        EXPECT_EQ(upload(), before) << why;
        EXPECT_EQ(sandbox.log(), std::string(" <INF> File UpLoad & UpDate") +
                                     (word[7] == ']' ? "" : " [FPGA]") +
                                     "\n <ERR> Update refused: " + why + "\n");
        EXPECT_FALSE(contains(sandbox.read("/sim/commands.log"), "/bin/sh") ||
                     sandbox.exists("/usr/kelvatro/update") || sandbox.exists("/sim/scripts.log"));
        EXPECT_TRUE(kept().refused && last_update.detail == why) << why;
    }
}

// A writer of the FIFO that repeats an update has it checked once a second at
// most (no copy to the SD card at every message), and its lines held back.
TEST_F(UpdateTest, AnUpdateAskedAgainWithinASecondOfARefusalIsNotCheckedAgain) {
    package("other");
    {
        FakeUnitClock clock;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(1, main_command("[UpLoad]"));
    }
    EXPECT_EQ(count(sandbox.read("/sim/commands.log"), " sqv "), 1);
    EXPECT_EQ(sandbox.log_lines(),
              (Lines{" <INF> File UpLoad & UpDate\n",
                     " <ERR> Update refused: data.tar.gz has no good signature by a key of "
                     "/etc/orv-main/update-keys/\n",
                     " <INF> Held back 2 more like: File UpLoad & UpDate\n",
                     " <ERR> Held back 2 more like: Update refused: asked again within a second "
                     "of a refusal\n"}));
}

} // namespace
