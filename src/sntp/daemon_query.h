// One client query to the system's own NTP daemon, as ntpstat and chronyc
// tracking ask it: what it answers (leap, stratum, reference, root delay and
// dispersion, its offset from this machine's clock). orvctl waits for the
// answer; the unit sends the query in one tick and takes the answer in a later
// one, so that its tick never waits.
#pragma once

#include "sntp/ntp_packet.h"

#include <cstdint>
#include <netinet/in.h>
#include <string>

// The daemon's answer; `answered` false with `failure` saying what happened.
struct DaemonAnswer {
    std::string address; // host:port asked
    bool answered;
    std::string failure;
    int leap;
    int stratum;
    std::string refid;
    double root_delay_ms;
    double root_dispersion_ms;
    double offset_ms; // the daemon's clock less this machine's
};

// A query sent and not yet answered: its socket (-1: none), the transmit
// timestamp the answer must echo and when it was sent.
struct DaemonQuery {
    int fd = -1;
    std::string address;
    uint8_t sent[kNtpStampSize] = {};
    int64_t sent_us = 0;
};

// The daemon's address: ORV_NTP_QUERY (host:port) from the environment, else
// from the deployment settings, else 127.0.0.1:123.
std::string daemon_address();
// Reads such an address: an IPv4 address, a colon and a port.
bool daemon_address_parse(const std::string& text, sockaddr_in& out);

// Sends one query without waiting. False, with `failure` set, when nothing
// was sent (the query then holds no socket).
bool daemon_query_send(DaemonQuery& query, std::string& failure);
// Takes the answer when it has come, without waiting: true with `answer`
// filled (answered, or refused with its failure) and the query's socket
// closed; false while nothing has come.
bool daemon_query_take(DaemonQuery& query, DaemonAnswer& answer);
// Closes the socket of a query that is given up.
void daemon_query_end(DaemonQuery& query);

// Asks the daemon once and waits at most a second.
DaemonAnswer daemon_query();

// Whether it counts as synchronised: leap 0 to 2, stratum 1 to 15.
bool daemon_synchronised(const DaemonAnswer& answer);
// Its root distance, root delay / 2 + root dispersion, in milliseconds.
double daemon_root_distance_ms(const DaemonAnswer& answer);
