// A sandboxed unit on the simulated board, at a fast pace, for the tests of
// the main control.
#pragma once

#include "board/reg_device.h"
#include "board/spi_transport.h"
#include "fpga.h"
#include "main/command_answer.h"
#include "main/current_state.h"
#include "main/lifecycle.h"
#include "main/net_probe.h"
#include "main/unit_state.h"
#include "os/pace.h"
#include "reg_device.h"
#include "sandbox.h"
#include "settings/system_file.h"
#include "timer/event_timer.h"
#include "tot/ntp_server.h"
#include "tot/tot_state.h"
#include "tot/tot_step.h"
#include "tuner/tuner_control.h"
#include "tuner/tuner_lib.h"
#include "world.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <sys/socket.h>
#include <sys/un.h>

// A service manager's notification socket at PATH, which NOTIFY_SOCKET names
// while it lives; next() is the next message, empty after 30 s without one.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) {
        sockaddr_un address{AF_UNIX, {}};
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        const timeval patience{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~NotifySocket() {
        unsetenv("NOTIFY_SOCKET");
        close(fd);
    }
    std::string next() {
        char text[64] = "";
        const ssize_t length = recv(fd, text, sizeof text - 1, 0);
        return std::string(text, size_t(std::max<ssize_t>(length, 0)));
    }

  private:
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

// eth0 as a test scripts it, behind the probes' seam: one link reading per
// link check ('U' up, 'D' down, 'X' the request fails; the last one repeats),
// the requests that fail, and what the probes asked, one entry a request.
struct FakeEth0 {
    std::string links = "U";
    size_t checks = 0;
    bool socket_fails = false, hwaddr_fails = false, gset_fails = false, sset_fails = false;
    uint8_t mac[6] = {0xB8, 0x27, 0xEB, 0x01, 0x02, 0x0A};
    Lines requests;
};
inline FakeEth0 fake_eth0;

inline int fake_eth0_ethtool(void* data) {
    FakeEth0& f = fake_eth0;
    const uint32_t cmd = *static_cast<uint32_t*>(data);
    if (cmd == ETHTOOL_GLINK) {
        const char link = f.links[std::min(f.checks++, f.links.size() - 1)];
        f.requests.push_back(std::string("GLINK ") + link);
        static_cast<ethtool_value*>(data)->data = link == 'U';
        return link == 'X' ? -1 : 0;
    }
    auto& settings = *static_cast<ethtool_cmd*>(data);
    if (cmd == ETHTOOL_GSET) {
        f.requests.push_back("GSET");
        settings.supported = 0x2EF; // 10 to 1000 Mb/s and more
        settings.advertising = 0x2F;
        return f.gset_fails ? -1 : 0;
    }
    char text[64];
    std::snprintf(text, sizeof text, "SSET autoneg %d advertise 0x%X", settings.autoneg,
                  settings.advertising);
    f.requests.push_back(text);
    return f.sset_fails ? -1 : 0;
}

inline int fake_eth0_request(int, unsigned long request, ifreq* ifr) {
    if (request == SIOCETHTOOL) return fake_eth0_ethtool(ifr->ifr_data);
    if (fake_eth0.hwaddr_fails) return -1;
    std::memcpy(ifr->ifr_hwaddr.sa_data, fake_eth0.mac, 6);
    return 0;
}

constexpr NetProbeOps kFakeEth0{[] { return fake_eth0.socket_fails ? -1 : 99; }, fake_eth0_request,
                                [](int) { return 0; }};

class MainTest : public SandboxTest {
  protected:
    void SetUp() override {
        pace_set_tick_ms(10);
        sim_world_reset();
        spi_set_transport(sim_fpga_transport());
        reg_device_set_ops(sim_reg_device_ops());
        tuner_lib_set_path(ORV_SIMTUNER_PATH);
        fake_eth0 = {};
        net_probe_set_ops(&kFakeEth0);
        link_check_reset();
        main_flags = {};
        current_state = {};
        system_settings = {};
        timer_table_prepare();
        tot_state_reset();
        ntp_server = NtpServerState{0, 16, 0};
        unit_state_reset(); // the state file of an earlier test's sandbox is not this one's
        answers_reset();
    }

    void TearDown() override {
        tuner_terminate();
        tuner_context.fd = -1;
        net_probe_set_ops(nullptr);
        pace_set_tick_ms(1000);
    }
};
