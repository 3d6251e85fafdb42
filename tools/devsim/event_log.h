// SPDX-License-Identifier: GPL-3.0-or-later
// The event log that tests read: one line per event, flushed at once.
#pragma once

#include <cstdio>
#include <netinet/ether.h>
#include <netinet/in.h>

class EventLog
{
  public:
    EventLog() = default;
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;
    ~EventLog();

    // Opens path for writing, or uses standard output when path is null.
    bool open(const char *path);
    void line(const char *format, ...) __attribute__((format(printf, 2, 3)));

  private:
    FILE *file_ = nullptr;
};

// Fixed-size texts for the fields of a log line.
struct FieldText {
    char text[32];
};
FieldText session_text(const unsigned char session[2]);
FieldText address_text(in_addr addr);
FieldText endpoint_text(const sockaddr_in &endpoint);
FieldText mac_text(const ether_addr &mac);
