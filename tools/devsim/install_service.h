// SPDX-License-Identifier: GPL-3.0-or-later
// The devices' install sockets: one listener per device that accepted an
// install request, taking one upload (4-byte big-endian size, then the image).
#pragma once

#include "blackhole.h"
#include "device.h"
#include "event_log.h"
#include "event_tag.h"
#include "fd_guard.h"

#include <unordered_map>

class InstallService
{
  public:
    InstallService(int epoll_fd, EventLog *log, DeviceTable *devices)
        : epoll_fd_(epoll_fd), log_(log), devices_(devices)
    {
    }

    // Readies the device's install port as its install-port= says, unless it
    // is ready already; false (with a line on stderr) when it cannot be. A
    // stalled upload of the device is dropped first, so that the host's next
    // try finds a listener.
    bool listen(int device, const SimDevice &dev);
    void on_event(EventKind kind, int device);

  private:
    struct Upload {
        in_addr addr;
        uint64_t cut_after;
        Cut cut;
        bool stalled; // holds the connection unread until dropped
        FdGuard listener;
        FdGuard connection;
        unsigned char header[4];
        int header_got;
        uint64_t received;
        uint32_t fnv;
    };
    bool open_blackhole_once(int device, in_addr addr);
    void accept_upload(int device, Upload &upload);
    void read_upload(int device, Upload &upload);
    void cut(int device, Upload &upload);
    void log_upload(const Upload &upload, const char *status);
    void finish(int device, const Upload &upload, const char *status);

    int epoll_fd_;
    EventLog *log_;
    DeviceTable *devices_;
    std::unordered_map<int, Upload> uploads_;
    std::unordered_map<int, Blackhole> blackholes_;
};
