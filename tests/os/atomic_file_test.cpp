// Files written whole: the temporary file reaches the disk before it takes the
// target's place, and the directory after it. The calls are seen through
// fsync and rename defined here in front of the C library's.
#include "os/atomic_file.h"
#include "sandbox.h"

#include <cstdio>
#include <dlfcn.h>

namespace {
Lines* calls = nullptr; // the fsync and rename calls while a test records them

template <typename F> F next_definition(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" int fsync(int fd) {
    if (calls)
        calls->push_back("fsync " +
                         fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string());
    return next_definition<int (*)(int)>("fsync")(fd);
}

extern "C" int rename(const char* from, const char* to) {
    if (calls) calls->push_back(std::string("rename ") + from + " " + to);
    return next_definition<int (*)(const char*, const char*)>("rename")(from, to);
}

TEST_F(SandboxTest, AWholeFileIsSyncedBeforeItIsRenamedIntoPlace) {
    Lines seen;
    calls = &seen;
    EXPECT_EQ(0, atomic_write_file("/var/kelvatro/conf/x.ini", "x=1\n", {0640, kKeepGroup},
                                   DirSync::yes));
    calls = nullptr;
    const std::string dir = sandbox.path("/var/kelvatro/conf");
    const std::string temp = seen.at(0).substr(6);
    EXPECT_TRUE(temp.starts_with(dir + "/.x.ini.orv-new.")) << temp;
    EXPECT_EQ(seen,
              (Lines{"fsync " + temp, "rename " + temp + " " + dir + "/x.ini", "fsync " + dir}));
}
