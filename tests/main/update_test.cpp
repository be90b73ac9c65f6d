// Updates through [UpLoad] and [UpLoadFpga]: a package signed by an update key
// is installed from its private copy only, whatever the upload folder holds
// meanwhile; each refusal leaves the upload folder and the unit as they were,
// with its line. The keys are throwaway ones, made with gpg in a temporary home.
#include "guarded_shell.h"
#include "main/command.h"
#include "main/update.h"
#include "main_fixture.h"
#include "os/deploy_settings.h"
#include "os/shell.h"
#include "os/unit_path.h"

namespace {

// The keys "maker" and "other", made once; the agent that made them ends with
// the process.
struct Keys {
    std::string home = "/tmp/orv-update-keys." + std::to_string(getpid());
    std::string gpg = "gpg --homedir " + home + " --batch -q ";
    std::string maker;
    Keys() {
        run_through_shell("mkdir -m 700 " + home + " && " + gpg +
                          "--passphrase '' --quick-gen-key maker ed25519 sign never && " + gpg +
                          "--passphrase '' --quick-gen-key other ed25519 sign never && " + gpg +
                          "--with-colons -k maker | awk -F: '/^fpr/ {print $10}' > " + home +
                          "/maker 2>/dev/null");
        std::ifstream(home + "/maker") >> maker;
    }
    ~Keys() {
        run_through_shell("gpgconf --homedir " + home + " --kill gpg-agent");
        fs::remove_all(home);
    }
};

const Keys& keys() {
    static const Keys made;
    return made;
}

// When the signature is checked, a writer of the upload folder puts another
// setup.sh and archive there.
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
        fs::create_directories(sandbox.path("/etc/orv-main/update-keys"));
        ASSERT_EQ(0, run_through_shell(keys().gpg + "--export maker > " +
                                       sandbox.path("/etc/orv-main/update-keys/maker.pgp")));
        package("maker");
    }
    // A setup.sh packed into the upload folder's data.tar.gz after the shell
    // line `more`, signed by `signer`.
    void package(const std::string& signer, const std::string& more = "") {
        const std::string archive = sandbox.path("/usr/kelvatro/upload/data.tar.gz");
        sandbox.remove("/sim/pack");
        sandbox.write("/sim/pack/setup.sh", "echo installed\n");
        ASSERT_EQ(0, run_through_shell("cd " + sandbox.path("/sim/pack") + more + " && tar czf " +
                                       archive + " * && " + keys().gpg + "--yes -u " + signer +
                                       " --detach-sign " + archive));
    }
};

// Sent while the upload folder changes under it, each update installs the
// signed package: its setup.sh journaled as it was signed, the flags of its
// command set, its private directory (made anew) gone afterwards.
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
    for (const auto& [word, flags, journal, scripts] : cases) {
        package("maker");
        sandbox.remove("/sim");
        sandbox.write("/usr/kelvatro/update/left", "by an update cut short");
        main_flags = {1, 1, 0};
        EXPECT_EQ(0, main_command(word));
        EXPECT_EQ(std::to_string(main_flags.running) + std::to_string(main_flags.reboot) +
                      std::to_string(main_flags.shutdown),
                  flags);
        EXPECT_EQ(sandbox.journal(), journal) << word;
        EXPECT_EQ(sandbox.read("/sim/scripts.log"), scripts);
        EXPECT_FALSE(sandbox.exists("/usr/kelvatro/update"));
        EXPECT_EQ(sandbox.log_lines().back(),
                  " <INF> Update signed by key " + keys().maker + ": installing\n");
    }
    shell_set_sandbox_runner(nullptr);
}

// A missing package or signature (or one that is no file: a FIFO would hold
// the unit), a key not among the update keys (those of
// ORV_UPDATE_KEYS), an archive changed after its signing, no update keys, a
// member leading out: nothing unpacked, nothing run, the unit serving on.
TEST_F(UpdateTest, EachRefusalLeavesEverythingAsItWasWithItsLine) {
    const std::string no_key = "data.tar.gz has no good signature by a key of ";
    const std::tuple<const char*, std::function<void()>, std::string> cases[] = {
        {"[UpLoad]", [&] { sandbox.remove("/usr/kelvatro/upload/data.tar.gz"); },
         "/usr/kelvatro/upload/data.tar.gz missing"},
        {"[UpLoadFpga]", [&] { sandbox.remove("/usr/kelvatro/upload/data.tar.gz.sig"); },
         "/usr/kelvatro/upload/data.tar.gz.sig missing"},
        {"[UpLoad]", [&] { package("other"); }, no_key + "/etc/orv-main/update-keys/"},
        {"[UpLoadFpga]",
         [&] {
             std::ofstream(sandbox.path("/usr/kelvatro/upload/data.tar.gz"), std::ios::app) << 0;
         },
         no_key + "/etc/orv-main/update-keys/"},
        {"[UpLoad]", [&] { sandbox.write(kDeploySettingsPath, "ORV_UPDATE_KEYS=/etc/none\n"); },
         "no update keys (*.pgp, *.gpg, *.asc) in /etc/none"},
        {"[UpLoad]", [&] { package("maker", " && ln -s /etc up"); },
         "member up of data.tar.gz leads out of its directory"},
        {"[UpLoad]",
         [&] {
             sandbox.remove("/usr/kelvatro/upload/data.tar.gz.sig");
             mkfifo(sandbox.path("/usr/kelvatro/upload/data.tar.gz.sig").c_str(), 0600);
         },
         "/usr/kelvatro/upload/data.tar.gz.sig is no regular file"}, // last: gpg would wait on it
    };
    const auto upload = [&] {
        std::string names;
        for (const auto& entry : fs::directory_iterator(sandbox.path("/usr/kelvatro/upload")))
            names += entry.path().filename().string() + " ";
        return names;
    };
    for (const auto& [word, spoil, why] : cases) {
        package("maker");
        sandbox.remove("/sim/commands.log");
        sandbox.remove("/var/www/StatusLog.txt");
        spoil();
        deploy_settings_reload();
        const std::string before = upload() + sandbox.read("/usr/kelvatro/upload/data.tar.gz");
        main_flags = {1, 1, 0};
        EXPECT_EQ(1, main_command(word)) << why;
        EXPECT_TRUE(main_flags.running && main_flags.reboot) << why;
        EXPECT_EQ(upload() + sandbox.read("/usr/kelvatro/upload/data.tar.gz"), before) << why;
        EXPECT_EQ(sandbox.log(), std::string(" <INF> File UpLoad & UpDate") +
                                     (word[7] == ']' ? "" : " [FPGA]") +
                                     "\n <ERR> Update refused: " + why + "\n");
        EXPECT_FALSE(contains(sandbox.read("/sim/commands.log"), "/bin/sh")) << why;
        EXPECT_FALSE(sandbox.exists("/usr/kelvatro/update") || sandbox.exists("/sim/scripts.log"))
            << why;
        EXPECT_TRUE(last_update.refused && last_update.detail == why) << why;
        sandbox.remove(kDeploySettingsPath);
    }
    deploy_settings_reload();
}

} // namespace
