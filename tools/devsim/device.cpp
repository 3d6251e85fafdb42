// SPDX-License-Identifier: GPL-3.0-or-later
#include "device.h"

#include "options.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

static bool parse_text(const std::string &value, char field[TEXT_FIELD_LEN])
{
    size_t out = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        if (out + 1 >= TEXT_FIELD_LEN)
            return false;
        unsigned char byte = static_cast<unsigned char>(value[i]);
        if (byte == '%') {
            if (i + 2 >= value.size() || !std::isxdigit(static_cast<unsigned char>(value[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(value[i + 2])))
                return false;
            char hex[3] = {value[i + 1], value[i + 2], 0};
            byte = static_cast<unsigned char>(std::strtoul(hex, nullptr, 16));
            i += 2;
        }
        field[out++] = static_cast<char>(byte);
    }
    field[out] = 0;
    return true;
}

// A result code 0..255, or "none" for no reply at all.
static bool parse_result(const std::string &value, int *out)
{
    if (value != "none")
        return parse_number(value.c_str(), 255, out);
    *out = NO_REPLY;
    return true;
}

// One of the words in choices, each standing for a value.
template <typename T>
static bool parse_choice(const std::string &value,
                         std::initializer_list<std::pair<const char *, T>> choices, T *out)
{
    for (const auto &[word, choice] : choices) {
        if (value == word) {
            *out = choice;
            return true;
        }
    }
    return false;
}

static bool parse_address(const std::string &value, in_addr *out)
{
    return inet_pton(AF_INET, value.c_str(), out) == 1;
}

static bool apply_key(const std::string &key, const std::string &value, SimDevice *d,
                      bool *mac_given, bool *ip_given)
{
    DiscoverEntry &a = d->attributes;
    if (key == "addr")
        return parse_address(value, &d->addr);
    if (key == "ip") {
        *ip_given = true;
        if (value == "none") {
            a.ipaddr.s_addr = 0;
            return true;
        }
        return parse_address(value, &a.ipaddr);
    }
    if (key == "mac") {
        *mac_given = true;
        return ether_aton_r(value.c_str(), &a.mac) != nullptr;
    }
    if (key == "mask")
        return parse_address(value, &a.netmask);
    if (key == "host")
        return parse_text(value, a.hostname);
    if (key == "fw")
        return parse_text(value, a.firmware);
    if (key == "answer")
        return parse_choice(
            value, {{"all", Answer::All}, {"first", Answer::First}, {"none", Answer::None}},
            &d->answer);
    if (key == "setup")
        return parse_result(value, &d->setup_result);
    if (key == "install")
        return parse_result(value, &d->install_result);
    if (key == "close-after" || key == "reset-after" || key == "stall-after") {
        // One cut per upload: a second one would leave unclear which comes first.
        if (d->cut_after != NEVER_CUT)
            return false;
        d->cut = key == "close-after" ? Cut::Close : key == "reset-after" ? Cut::Reset : Cut::Stall;
        return parse_number(value.c_str(), UINT64_MAX - 1, &d->cut_after);
    }
    if (key == "install-port")
        return parse_choice(value,
                            {{"listen", InstallPort::Listen},
                             {"closed", InstallPort::Closed},
                             {"blackhole", InstallPort::Blackhole}},
                            &d->install_port);
    if (key == "claim")
        return parse_choice(
            value, {{"own", Claim::Own}, {"any", Claim::Any}, {"echo", Claim::Echo}}, &d->claim);
    if (key == "reply-to")
        return parse_choice(value, {{"source", false}, {"broadcast", true}}, &d->reply_broadcast);
    if (key == "session")
        return parse_choice(value, {{"same", false}, {"other", true}}, &d->other_session);
    if (key == "reply")
        return parse_choice(value,
                            {{"normal", ReplyForm::Normal},
                             {"malformed", ReplyForm::Malformed},
                             {"oversized", ReplyForm::Oversized},
                             {"wrongtype", ReplyForm::WrongType}},
                            &d->reply);
    if (key == "repeat")
        return parse_number(value.c_str(), 3600 * 1000, &d->repeat_ms);
    if (key == "flood")
        return parse_number(value.c_str(), 100000000, &d->flood);
    if (key == "fw-after-install")
        return parse_text(value, d->firmware_after_install);
    if (key == "after-setup")
        return parse_choice(value, {{"stay", false}, {"gone", true}}, &d->gone_after_setup);
    if (key == "after-install")
        return parse_choice(value, {{"stay", false}, {"gone", true}}, &d->gone_after_install);
    if (key == "delay")
        return parse_number(value.c_str(), 3600 * 1000, &d->delay_ms);
    if (key == "restart-after")
        return parse_number(value.c_str(), 3600 * 1000, &d->restart_ms);
    return false;
}

void restart_when_due(SimDevice *d, int64_t now_ms)
{
    if (!d->restart_pending || now_ms < d->restart_at_ms)
        return;
    d->restart_pending = false;
    if (d->firmware_after_install[0] != '\0')
        std::memcpy(d->attributes.firmware, d->firmware_after_install,
                    sizeof(d->attributes.firmware));
    if (d->gone_after_install)
        d->answer = Answer::None;
}

// A locally administered MAC: 02:00, then four bytes of the device's own.
static void set_local_mac(const void *four_bytes, ether_addr *mac)
{
    mac->ether_addr_octet[0] = 0x02;
    mac->ether_addr_octet[1] = 0x00;
    std::memcpy(&mac->ether_addr_octet[2], four_bytes, 4);
}

static void clear_device(SimDevice *d)
{
    std::memset(d, 0, sizeof *d);
    inet_pton(AF_INET, "255.0.0.0", &d->attributes.netmask);
    d->answer = Answer::All;
    d->setup_result = RESULT_SUCCESS;
    d->install_result = RESULT_SUCCESS;
    d->cut_after = NEVER_CUT;
    d->reply = ReplyForm::Normal;
}

bool parse_device_description(const char *description, SimDevice *d)
{
    clear_device(d);
    bool have_addr = false, mac_given = false, ip_given = false;
    std::string text(description);
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        std::string item = text.substr(start, comma - start);
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (eq == std::string::npos || !apply_key(key, value, d, &mac_given, &ip_given)) {
            std::fprintf(stderr, "devscout-simdevice: device '%s': cannot use '%s'\n", description,
                         item.c_str());
            return false;
        }
        have_addr = have_addr || key == "addr";
        start = comma + 1;
    }
    if (!have_addr) {
        std::fprintf(stderr, "devscout-simdevice: device '%s': addr= is required\n", description);
        return false;
    }
    if (!ip_given)
        d->attributes.ipaddr = d->addr;
    if (!mac_given)
        set_local_mac(&d->addr, &d->attributes.mac);
    return true;
}

void make_generated_device(uint32_t index, in_addr addr, int delay_max_ms, SimDevice *d)
{
    clear_device(d);
    d->addr = addr;
    d->attributes.ipaddr = addr;
    uint32_t be_index = htonl(index);
    set_local_mac(&be_index, &d->attributes.mac);
    std::snprintf(d->attributes.hostname, TEXT_FIELD_LEN, "sim-%u", index);
    std::snprintf(d->attributes.firmware, TEXT_FIELD_LEN, "simfw 1.0");
    d->delay_ms = delay_max_ms;
    d->random_delay = true;
}

static uint64_t mac_key(const ether_addr &mac)
{
    uint64_t key = 0;
    for (unsigned char byte : mac.ether_addr_octet)
        key = key << 8 | byte;
    return key;
}

void DeviceTable::add(const SimDevice &device)
{
    int index = static_cast<int>(devices_.size());
    if (device.claim == Claim::Own)
        by_mac_.emplace(mac_key(device.attributes.mac), index);
    else
        claimers_.push_back(index);
    devices_.push_back(device);
}

std::vector<int> DeviceTable::answerers(const ether_addr &mac) const
{
    std::vector<int> found;
    auto range = by_mac_.equal_range(mac_key(mac));
    for (auto it = range.first; it != range.second; ++it)
        found.push_back(it->second);
    found.insert(found.end(), claimers_.begin(), claimers_.end());
    return found;
}
