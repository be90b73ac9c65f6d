// The guard of the board emulator, which makes device nodes: it runs only in the
// booted test image of tests/vm, which carries a token file that no Debian
// system has, and only when the kernel was started with the same token on its
// command line.
#pragma once

// The token file that the test image's build writes.
inline constexpr char kTestImageTokenPath[] = "/etc/orv-test-image.token";

// Whether the token file holds a token and the kernel command line read from
// cmdline_path carries the word "orv.testimage=<token>".
bool test_image_booted(const char* token_path, const char* cmdline_path);
