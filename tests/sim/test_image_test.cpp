// The board emulator's guard: it runs only where the token file and the kernel
// command line agree.
#include "sandbox.h"
#include "test_image.h"

TEST_F(SandboxTest, BoardEmulatorRunsOnlyWhereTokenFileAndCommandLineAgree) {
    const std::string token = sandbox.path("/token"), cmdline = sandbox.path("/cmdline");
    const struct {
        const char* token; // nullptr: no token file
        const char* cmdline;
        bool runs;
    } cases[] = {
        {nullptr, "root=/dev/vda orv.testimage=\n", false},
        {"0123456789abcdef\n", "root=/dev/vda rw\n", false},
        {"0123456789abcdef\n", "root=/dev/vda orv.testimage=0123456789abcdeX\n", false},
        {"0123456789abcdef\n", "orv.testimage=0123456789abcdef0 rw\n", false},
        {"0123456789abcdef\n", "xorv.testimage=0123456789abcdef\n", false},
        {"\n", "orv.testimage= rw\n", false},
        {"0123456789abcdef\n", "root=/dev/vda orv.testimage=0123456789abcdef rw\n", true},
    };
    for (const auto& c : cases) {
        std::remove(token.c_str());
        if (c.token) sandbox.write("/token", c.token);
        sandbox.write("/cmdline", c.cmdline);
        EXPECT_EQ(test_image_booted(token.c_str(), cmdline.c_str()), c.runs) << c.cmdline;
    }
}
