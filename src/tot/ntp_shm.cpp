// The writer of the NTP shared-memory reference clock: the segment's layout as
// the daemons read it, and the protocol of its mode 1, where a reader copies
// the sample, takes it only when `valid` was set and `count` did not change
// while it copied, and then clears `valid`. The writer clears `valid`, raises
// `count`, writes the fields, raises `count` again and sets `valid`, every
// store a sequentially consistent atomic one, which stands for the barriers
// between them.
#include "tot/ntp_shm.h"

#include "log/status_log.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

// The seconds of the daemons' struct shmTime are their time_t: a long on every
// Debian 12 architecture, 64 bits everywhere on Debian 13 (ORV_SHM_TIME64). A
// 32-bit build of this program has a 64-bit time_t of its own whatever the
// daemon's, so the fields are not declared time_t here.
#if ORV_SHM_TIME64
using ShmSeconds = int64_t;
#else
using ShmSeconds = long;
#endif

// The daemons' struct shmTime.
struct ShmTime {
    int mode;
    int count;
    ShmSeconds clock_sec;
    int clock_usec;
    ShmSeconds receive_sec;
    int receive_usec;
    int leap;
    int precision;
    int nsamples;
    int valid;
    unsigned clock_nsec;
    unsigned receive_nsec;
    int dummy[8];
};
static_assert(sizeof(ShmTime) == (sizeof(ShmSeconds) == 8 ? 96 : 80), "the daemons' segment size");

constexpr int kCountedMode = 1;
constexpr int kNoLeapWarning = 0;
constexpr int kPrecision = -20; // 2^-20 s, about the FPGA's microsecond

struct Attachment {
    int unit = -1;
    ShmTime* segment = nullptr;
    LogRepeat unavailable; // the run of failed claims
};

Attachment attachment;
int last_count = -1;

// Whoever may write the segment may steer the served time: root only.
constexpr int kPermissions = 0600;

// A store that another process sees after every store before it: the reader
// of another process must never find the new fields under the old count.
template <typename T> void put(T& field, T value) {
    std::atomic_ref<T>(field).store(value);
}

// Made and owned by this program's user, and nobody else may write it.
bool own_segment(const shmid_ds& info) {
    const uid_t self = geteuid();
    return info.shm_perm.cuid == self && info.shm_perm.uid == self && !(info.shm_perm.mode & 022);
}

// The id of the key's segment, this program's own: one of another is removed
// first. -1 with the reason.
int own_segment_id(int unit, const char*& why) {
    const key_t key = key_t(kNtpShmKeyBase + uint32_t(unit));
    if (const int id = shmget(key, 0, 0); id >= 0) {
        shmid_ds info{};
        if (shmctl(id, IPC_STAT, &info) != 0) return why = std::strerror(errno), -1;
        if (own_segment(info)) return id;
        if (shmctl(id, IPC_RMID, nullptr) != 0) return why = std::strerror(errno), -1;
        LogPrint(LOG_TO_BOTH, 3,
                 "NTP shared memory unit %d was made by another user or writable by others: "
                 "removed\n",
                 unit);
    } else if (errno != ENOENT) {
        return why = std::strerror(errno), -1;
    }
    const int made = shmget(key, sizeof(ShmTime), IPC_CREAT | IPC_EXCL | kPermissions);
    if (made < 0) why = std::strerror(errno);
    return made;
}

} // namespace

int ntp_shm_claim(int unit) {
    if (ntp_shm_claimed(unit)) return 0;
    if (attachment.segment) shmdt(attachment.segment);
    attachment.segment = nullptr;
    const char* why = "";
    const int id = own_segment_id(unit, why);
    void* const address = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);
    if (id >= 0 && address == reinterpret_cast<void*>(-1)) why = std::strerror(errno);
    if (address == reinterpret_cast<void*>(-1)) {
        LogRepeated(attachment.unavailable, 3, "NTP shared memory unit %d unavailable: %s\n", unit,
                    why);
        return -1;
    }
    LogRepeatEnd(attachment.unavailable);
    attachment.unit = unit;
    attachment.segment = static_cast<ShmTime*>(address);
    return 0;
}

bool ntp_shm_claimed(int unit) {
    return attachment.segment && attachment.unit == unit;
}

int ntp_shm_write(int unit, const NtpShmSample& sample) {
    if (ntp_shm_claim(unit) != 0) return -1;
    ShmTime* const shm = attachment.segment;
    put(shm->valid, 0);
    std::atomic_ref<int>(shm->count).fetch_add(1);
    put(shm->mode, kCountedMode);
    put(shm->clock_sec, ShmSeconds(sample.clock_sec));
    put(shm->clock_usec, int(sample.clock_nsec / 1000));
    put(shm->clock_nsec, unsigned(sample.clock_nsec));
    put(shm->receive_sec, ShmSeconds(sample.receive_sec));
    put(shm->receive_usec, int(sample.receive_nsec / 1000));
    put(shm->receive_nsec, unsigned(sample.receive_nsec));
    put(shm->leap, kNoLeapWarning);
    put(shm->precision, kPrecision);
    last_count = std::atomic_ref<int>(shm->count).fetch_add(1) + 1;
    put(shm->valid, 1);
    return 0;
}

int ntp_shm_last_count() {
    return last_count;
}

void ntp_shm_detach() {
    if (attachment.segment) shmdt(attachment.segment);
    attachment = Attachment{};
}
