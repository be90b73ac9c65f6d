// The guard of orv-vmtest: it runs only where the token file and the kernel
// command line agree.
#include "image_guard.h"
#include "sandbox.h"

TEST_F(SandboxTest, VmtestRunsOnlyWhereTokenFileAndCommandLineAgree) {
    const std::string token = sandbox.path("/token"), cmdline = sandbox.path("/cmdline");
    const struct {
        const char* token; // nullptr: no token file
        const char* cmdline;
        bool runs;
    } cases[] = {
        {nullptr, "root=/dev/vda orv.vmtest=\n", false},
        {"0123456789abcdef\n", "root=/dev/vda rw\n", false},
        {"0123456789abcdef\n", "root=/dev/vda orv.vmtest=0123456789abcdeX\n", false},
        {"0123456789abcdef\n", "orv.vmtest=0123456789abcdef0 rw\n", false},
        {"0123456789abcdef\n", "xorv.vmtest=0123456789abcdef\n", false},
        {"\n", "orv.vmtest= rw\n", false},
        {"0123456789abcdef\n", "root=/dev/vda orv.vmtest=0123456789abcdef rw\n", true},
    };
    for (const auto& c : cases) {
        std::remove(token.c_str());
        if (c.token) sandbox.write("/token", c.token);
        sandbox.write("/cmdline", c.cmdline);
        EXPECT_EQ(vmtest_image_booted(token.c_str(), cmdline.c_str()), c.runs) << c.cmdline;
    }
}
