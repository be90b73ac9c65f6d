// Files written whole: the temporary file reaches the disk before it takes the
// target's place, the directory after it (calls seen through fsync and rename
// defined here in front of the C library's); no temporary outlives a failure.
#include "os/atomic_file.h"
#include "sandbox.h"

#include <dlfcn.h>

namespace {
Lines* calls = nullptr; // the fsync and rename calls while a test records them
const auto next_fsync = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
const auto next_rename =
    reinterpret_cast<int (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "rename"));
} // namespace

extern "C" int fsync(int fd) {
    if (calls)
        calls->push_back("fsync " +
                         fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string());
    return next_fsync(fd);
}

extern "C" int rename(const char* from, const char* to) {
    if (calls) calls->push_back(std::string("rename ") + from + " " + to);
    return next_rename(from, to);
}

TEST_F(SandboxTest, AWholeFileIsSyncedBeforeItIsRenamedIntoPlace) {
    Lines seen;
    calls = &seen;
    EXPECT_EQ(0, atomic_write_file("/var/kelvatro/conf/x.ini", "x=1\n", {0640, kKeepGroup},
                                   DirSync::yes));
    calls = nullptr;
    const std::string dir = sandbox.path("/var/kelvatro/conf");
    std::string temp = seen.at(0).substr(6);
    EXPECT_EQ(seen,
              (Lines{"fsync " + temp, "rename " + temp + " " + dir + "/x.ini", "fsync " + dir}));
    sandbox.write("/var/kelvatro/conf/d.ini/x", ""); // a write that fails leaves no temporary
    EXPECT_EQ(-1,
              atomic_write_file("/var/kelvatro/conf/d.ini", "", {0640, kKeepGroup}, DirSync::no));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2);
    for (const char* name : {"/.d.ini.orv-new.1", "/d.orv-new.1"}) // stale, a user's
        sandbox.write("/var/kelvatro/conf" + std::string(name), "");
    remove_stale_temp_files("/var/kelvatro/conf");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 3);
    ASSERT_EQ(0, mkfifo((dir + "/f.ini").c_str(), 0600)); // no FIFO read as a file
    EXPECT_FALSE(read_whole_file("/var/kelvatro/conf/f.ini", temp));
    sandbox.write("/var/kelvatro/conf/t.ini", "text");
    fs::create_symlink(dir + "/t.ini", dir + "/l.ini"); // nor a file through a link
    EXPECT_FALSE(read_whole_file("/var/kelvatro/conf/l.ini", temp));
}
