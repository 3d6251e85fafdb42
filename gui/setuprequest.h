// SPDX-License-Identifier: GPL-3.0-or-later
// What an accepted "Setup Device" dialog asks of a device, and the plain words
// the window shows for how each exchange ended.
#pragma once

#include "discover.h"

#include <QByteArray>
#include <QString>
#include <functional>

// The dialog's fields; a field left at its prompt is empty.
struct SetupFields {
    QString ip;
    QString netmask;
    bool dhcp = false;
    QString file;
};

struct SetupRequest {
    ether_addr mac{};
    QString macText;
    // The address of the interface the device was found on.
    in_addr local{};
    // The address the device's discover reply came from: the exchanges take
    // replies from there only.
    in_addr device{};
    // The target that reached the device beyond a router, 0.0.0.0 when the
    // broadcast did: the requests then go to device alone.
    in_addr target{};
    uint16_t sourcePort = 0; // 0: the system picks
    bool setup = false;
    in_addr ipaddr{};
    in_addr netmask{};
    bool dhcp = false;
    bool install = false;
    QByteArray image;
};

// Fills the exchanges of request from the fields, leaving out any that a
// device could not take. Returns what was left out and why, as one line for
// the status line, or an empty string.
QString read_setup_fields(const SetupFields &fields, SetupRequest *request);

QString describe_setup(const ExchangeReport &report);
QString describe_install(const ExchangeReport &report);

// Runs the setup, then the install, that request asks for, on the calling
// thread; says one line per exchange, and the upload's progress, through say.
// Either exchange ends early once stop returns true.
void run_setup_request(const SetupRequest &request, const std::function<void(QString)> &say,
                       const std::function<bool()> &stop);
