// SPDX-License-Identifier: GPL-3.0-or-later
// Why a discovery run may find nothing: checks of this host's interfaces,
// packet filter and routing, each giving lines that say what to do.
#pragma once

#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <vector>

enum DoctorSeverity {
    DOCTOR_OK,        // nothing in the way here
    DOCTOR_NOTE,      // worth knowing, not in the way by itself
    DOCTOR_PROBLEM,   // stands in the way of the run or its replies
    DOCTOR_UNCHECKED, // could not be checked; the text says why
};

struct DoctorLine {
    DoctorSeverity severity;
    std::string text;
};

// The port suggested for a fixed source port: outside the range the system
// picks from, so no other socket holds it by chance.
constexpr uint16_t DOCTOR_SUGGESTED_PORT = 62388;

struct DoctorOptions {
    uint16_t source_port = 0; // the run's --source-port; 0: the system picks
    bool probe = false;       // also run a real discovery and count what came back
    std::vector<in_addr> targets;
    // Polled while waiting for a helper program; true gives up on it.
    std::function<bool()> stop;
};

// Every check, in the order they are reported.
std::vector<DoctorLine> run_doctor(const DoctorOptions &options);

// "ok: ...", "problem: ...": a line as the command line prints it.
std::string doctor_line_text(const DoctorLine &line);
// The first problem, or else the first check that could not be made; empty
// when every check passed.
std::string doctor_likely_reason(const std::vector<DoctorLine> &lines);

// The checks one by one; each appends its lines.
// Which interfaces a run uses (address/prefix, broadcast) and which it
// leaves out and why.
void check_interfaces(std::vector<DoctorLine> *lines);
// Whether nftables (or an active ufw or firewalld) drops replies that come
// to the run's port on the interfaces a run uses.
void check_packet_filter(const DoctorOptions &options, std::vector<DoctorLine> *lines);
// Whether strict reverse-path filtering drops replies, and whether the
// requests can leave at all (a route for the limited broadcast).
void check_routing(std::vector<DoctorLine> *lines);
// A real discovery run: per interface, requests sent, datagrams and replies.
void check_probe(const DoctorOptions &options, std::vector<DoctorLine> *lines);
