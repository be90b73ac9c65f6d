// The unit's clock (pace_clock_us) held still for one test and moved only by
// it. Each such clock starts well after every earlier one, so that no record
// of an earlier test's times (the once-a-second log kinds) reaches into it;
// lines still held back at its end are logged into the test's own log.
#pragma once

#include "log/status_log.h"
#include "os/pace.h"

#include <cstdint>

class FakeUnitClock {
  public:
    FakeUnitClock() {
        start_ += int64_t{1000} * 1000000;
        now_ = start_;
        pace_set_clock([] { return now_; });
    }
    ~FakeUnitClock() {
        advance_seconds(1);
        LogHeldFlush();
        pace_set_clock(nullptr);
    }
    FakeUnitClock(const FakeUnitClock&) = delete;
    FakeUnitClock& operator=(const FakeUnitClock&) = delete;
    void advance_seconds(int seconds) { advance_us(int64_t{seconds} * 1000000); }
    void advance_us(int64_t us) { now_ += us; }

  private:
    static inline int64_t start_ = int64_t{1} << 50;
    static inline int64_t now_ = 0;
};
