// The access of the files shared with other local programs, from the group that
// the deployment setting ORV_GROUP names. The group is looked up again when the
// setting changes (a new pass, a test).
#include "os/file_access.h"

#include "os/deploy_settings.h"
#include "os/unit_path.h"

#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct SharedGroup {
    std::string name; // as ORV_GROUP gives it; empty: no group
    bool known = false;
    gid_t gid = kKeepGroup;
};

std::mutex group_lock;
SharedGroup cached;

SharedGroup look_up(const std::string& name) {
    SharedGroup group{name, false, kKeepGroup};
    if (name.empty()) return group;
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        group.known = true;
        group.gid = found->gr_gid;
    }
    return group;
}

SharedGroup shared_group() {
    const std::string name = deploy_setting("ORV_GROUP");
    std::lock_guard lock(group_lock);
    if (name != cached.name) cached = look_up(name);
    return cached;
}

} // namespace

FileAccess shared_file_access() {
    const SharedGroup group = shared_group();
    if (group.name.empty()) return FileAccess{0666, kKeepGroup};
    return group.known ? FileAccess{0660, group.gid} : FileAccess{0644, 0};
}

FileAccess published_file_access() {
    const SharedGroup group = shared_group();
    if (group.name.empty()) return FileAccess{0644, kKeepGroup};
    return group.known ? FileAccess{0640, group.gid} : FileAccess{0644, 0};
}

FileAccess control_fifo_access() {
    const SharedGroup group = shared_group();
    if (group.name.empty()) return FileAccess{0622, kKeepGroup};
    return group.known ? FileAccess{0620, group.gid} : FileAccess{0600, 0};
}

std::string unknown_shared_group() {
    const SharedGroup group = shared_group();
    return group.known ? std::string() : group.name;
}

int restrict_daemon_file(const char* path, mode_t* old_mode) {
    const int fd = open(unit_path(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st {};
    int result = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        (st.st_uid != 0 || st.st_gid != 0 || (st.st_mode & 07777) != kDaemonFileAccess.mode)) {
        *old_mode = st.st_mode & 07777;
        result =
            fchown(fd, 0, kDaemonFileAccess.group) == 0 && fchmod(fd, kDaemonFileAccess.mode) == 0
                ? 1
                : -1;
        if (result < 0) std::perror(path);
    }
    close(fd);
    return result;
}

void restrict_shared_file(const char* path) {
    if (shared_group().name.empty()) return;
    const int fd = open(unit_path(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    const FileAccess access = shared_file_access();
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        (fchown(fd, 0, access.group) != 0 || fchmod(fd, access.mode) != 0))
        std::perror(path);
    close(fd);
}
