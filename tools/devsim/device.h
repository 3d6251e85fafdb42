// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated devices: what each one reports and how it behaves.
#pragma once

#include "discover.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

enum class Answer { All, First, None };
enum class ReplyForm { Normal, Malformed, Oversized, WrongType };
// How an upload ends once cut_after image bytes have arrived.
enum class Cut { Close, Reset, Stall };
// What an accepted install request leaves on the install port.
enum class InstallPort { Listen, Closed, Blackhole };
// Which setup and install requests a device answers, and with which MAC: its
// own requests only, or every one like an impostor, with its own MAC or with
// the requested one.
enum class Claim { Own, Any, Echo };

constexpr int NO_REPLY = -1;
constexpr uint64_t NEVER_CUT = UINT64_MAX;

struct SimDevice {
    in_addr addr;             // replies leave from here; the install listener binds it
    DiscoverEntry attributes; // what discover replies carry (ip, mask, mac, dhcp, texts)
    Answer answer;
    int setup_result; // NO_REPLY or the code sent
    int install_result;
    uint64_t cut_after; // image bytes after which the upload is cut off
    Cut cut;
    InstallPort install_port;
    Claim claim;
    bool other_session;   // replies carry a session id other than the request's
    bool reply_broadcast; // replies go to the limited broadcast at the request's port
    ReplyForm reply;
    int delay_ms;   // before each reply; the upper bound when random
    int repeat_ms;  // 0, or the period at which each reply is sent again
    uint32_t flood; // junk datagrams sent ahead of each discover reply
    // What a complete upload changes: the firmware text it reports from then
    // on (empty: unchanged), and whether it stops answering discovery, as a
    // device that never comes back from its restart.
    char firmware_after_install[TEXT_FIELD_LEN];
    bool gone_after_install;
    // Those changes come restart_ms after the upload, as a device runs its
    // old image until it restarts; restart_at_ms is when, while pending.
    int restart_ms;
    bool restart_pending;
    int64_t restart_at_ms;
    // Whether an accepted setup leaves it answering no discovery, as a device
    // whose new address cannot be reached.
    bool gone_after_setup;
    bool random_delay;
    bool answered; // for Answer::First: the session last answered
    unsigned char answered_session[2];
};

// Parses "key=value,..."; prints one line on stderr and returns false when
// the text is not understood.
bool parse_device_description(const char *description, SimDevice *device);

// Takes the changes of a complete upload once their time has come (now_ms
// on the monotonic clock).
void restart_when_due(SimDevice *device, int64_t now_ms);

// Generated device number index (from 1) at address addr.
void make_generated_device(uint32_t index, in_addr addr, int delay_max_ms, SimDevice *device);

class DeviceTable
{
  public:
    void add(const SimDevice &device);
    int size() const { return static_cast<int>(devices_.size()); }
    SimDevice &operator[](int index) { return devices_[index]; }
    // Indexes of the devices that answer requests for mac: its owners and
    // the devices that claim every MAC.
    std::vector<int> answerers(const ether_addr &mac) const;

  private:
    std::vector<SimDevice> devices_;
    std::unordered_multimap<uint64_t, int> by_mac_;
    std::vector<int> claimers_;
};
