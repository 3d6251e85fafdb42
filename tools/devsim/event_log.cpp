// SPDX-License-Identifier: GPL-3.0-or-later
#include "event_log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstring>

EventLog::~EventLog()
{
    if (file_ != nullptr && file_ != stdout)
        std::fclose(file_);
}

bool EventLog::open(const char *path)
{
    if (path == nullptr) {
        file_ = stdout;
        return true;
    }
    file_ = std::fopen(path, "w");
    if (file_ == nullptr) {
        std::fprintf(stderr, "devscout-simdevice: cannot open log '%s': %s\n", path,
                     std::strerror(errno));
        return false;
    }
    return true;
}

void EventLog::line(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(file_, format, args);
    va_end(args);
    std::fputc('\n', file_);
    std::fflush(file_);
}

FieldText session_text(const unsigned char session[2])
{
    FieldText t;
    std::snprintf(t.text, sizeof t.text, "%02x%02x", session[0], session[1]);
    return t;
}

FieldText address_text(in_addr addr)
{
    FieldText t;
    inet_ntop(AF_INET, &addr, t.text, sizeof t.text);
    return t;
}

FieldText endpoint_text(const sockaddr_in &endpoint)
{
    FieldText t;
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &endpoint.sin_addr, ip, sizeof ip);
    std::snprintf(t.text, sizeof t.text, "%s:%u", ip, ntohs(endpoint.sin_port));
    return t;
}

FieldText mac_text(const ether_addr &mac)
{
    const unsigned char *b = mac.ether_addr_octet;
    FieldText t;
    std::snprintf(t.text, sizeof t.text, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3],
                  b[4], b[5]);
    return t;
}
