// SPDX-License-Identifier: GPL-3.0-or-later
// The devices' UDP side: one socket on 0.0.0.0:62387 takes every request,
// and each device's replies leave from its own address.
#pragma once

#include "device.h"
#include "event_log.h"
#include "fd_guard.h"
#include "flood.h"
#include "install_service.h"
#include "reply_queue.h"

#include <map>
#include <random>
#include <tuple>

class Responder
{
  public:
    Responder(DeviceTable *devices, EventLog *log, InstallService *installs, unsigned seed)
        : devices_(devices), log_(log), installs_(installs), rng_(seed)
    {
    }

    // Binds the discover port; false (with a line on stderr) on failure.
    bool open();
    int fd() const { return sock_.get(); }
    void on_readable();
    void send_due(int64_t now_ms);
    // Milliseconds until the next reply or flood batch is due, or -1 when
    // none waits.
    int timeout_ms(int64_t now_ms) const;

  private:
    void on_discover(const DiscoverEntry &request, const sockaddr_in &from);
    void on_setup(const DiscoverEntry &request, const sockaddr_in &from);
    void on_install(const DiscoverEntry &request, const sockaddr_in &from);
    PendingReply make_reply(int device, int type, int result, const DiscoverEntry &request,
                            const sockaddr_in &from);
    void schedule(int device, int type, int result, const DiscoverEntry &request,
                  const sockaddr_in &from);
    void start_flood(const PendingReply &reply, bool answers);
    void send_flood_batch();
    void send_reply(const PendingReply &reply);
    void keep_repeating(const PendingReply &reply, int64_t now_ms);
    void repeat(PendingReply timer, int64_t now_ms);

    DeviceTable *devices_;
    EventLog *log_;
    InstallService *installs_;
    std::mt19937 rng_;
    ReplyQueue queue_;
    FloodQueue floods_;
    // The reply each repeating device sends again, by device and destination.
    using RepeatKey = std::tuple<int, uint32_t, uint16_t>;
    std::map<RepeatKey, PendingReply> repeats_;
    FdGuard sock_;
};
