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

// Writes one sample into the segment of the unit, which it makes for root only
// when it is missing and keeps attached. A segment made by another is used only
// when root owns it and nobody else may write it. 0, or -1 when the segment
// cannot be had (logged once until it can).
int ntp_shm_write(int unit, const NtpShmSample& sample);
// The segment's count after the last sample written, or -1 before the first.
int ntp_shm_last_count();
// Detaches the segment (tests; the unit keeps it for its lifetime).
void ntp_shm_detach();
