// The NTP daemons' shared-memory reference clock (the SHM driver of ntpd and
// ntpsec, 127.127.28.<unit>, and chrony's "refclock SHM <unit>"): one System V
// segment per unit, written sample by sample.
#pragma once

#include <cstdint>

// The segment of unit u has the key kNtpShmKeyBase + u.
constexpr uint32_t kNtpShmKeyBase = 0x4E545030; // "NTP0"
// Units that every daemon takes (ntpd and ntpsec refuse 127.127.28.256 and up).
constexpr int kNtpShmMaxUnit = 255;

// One reading of the reference: its time, and the system clock at that moment,
// both as seconds and nanoseconds since the epoch.
struct NtpShmSample {
    int64_t clock_sec;
    uint32_t clock_nsec;
    int64_t receive_sec;
    uint32_t receive_nsec;
};

// Makes the unit's segment this program's own and keeps it attached: one that
// another user made (its creator or its owner not this program's user, root on
// the unit) or that others may write is removed and made anew for root only.
// 0, or -1 when no segment of its own can be had (logged once a run, counted).
int ntp_shm_claim(int unit);
// Whether the unit's segment is this program's own (claimed and attached).
bool ntp_shm_claimed(int unit);
// Writes one sample into the unit's segment, claimed first when it is not yet.
// 0, or -1 when the segment cannot be had.
int ntp_shm_write(int unit, const NtpShmSample& sample);
// The segment's count after the last sample written, or -1 before the first.
int ntp_shm_last_count();
// Detaches the segment and forgets its failures (tests; the unit keeps it for
// its lifetime).
void ntp_shm_detach();
