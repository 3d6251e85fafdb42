// SPDX-License-Identifier: GPL-3.0-or-later
#include "locate.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace
{

uint64_t mac_key(const ether_addr &mac)
{
    uint64_t key = 0;
    for (uint8_t byte : mac.ether_addr_octet)
        key = key << 8 | byte;
    return key;
}

bool same_place(const DiscoveredDevice &a, const DiscoveredDevice &b)
{
    return a.source.s_addr == b.source.s_addr &&
           std::strncmp(a.where.name, b.where.name, sizeof(a.where.name)) == 0 &&
           a.where.addr.s_addr == b.where.addr.s_addr;
}

// A device that answers twice from one place (say with a new address) is
// still one device; two places are two devices.
LocateState state_of(const std::vector<DiscoveredDevice> &matches)
{
    if (matches.empty())
        return LOCATE_MISSING;
    for (const DiscoveredDevice &match : matches)
        if (!same_place(match, matches.front()))
            return LOCATE_AMBIGUOUS;
    return LOCATE_FOUND;
}

class Locator : public DiscoverSink
{
  public:
    Locator(std::vector<LocateResult> *results, const LocateOptions &options,
            std::vector<DiscoveredDevice> *heard)
        : results_(results), options_(options), heard_(heard)
    {
        for (size_t i = 0; i < results->size(); ++i)
            keys_.emplace_back(mac_key((*results)[i].mac), static_cast<int>(i));
        std::sort(keys_.begin(), keys_.end());
    }

    void found(const DiscoveredDevice &device) override
    {
        if (heard_ != nullptr)
            heard_->push_back(device);
        const std::pair<uint64_t, int> lowest{mac_key(device.entry.mac), -1};
        for (auto it = std::lower_bound(keys_.begin(), keys_.end(), lowest);
             it != keys_.end() && it->first == lowest.first; ++it) {
            LocateResult &result = (*results_)[it->second];
            if (result.matches.empty())
                ++answered_;
            locate_add_match(&result, device);
        }
    }

    bool stop_requested() override
    {
        if (options_.end_when_all_answered && answered_ == static_cast<int>(results_->size()))
            return true;
        return options_.stop_requested != nullptr && options_.stop_requested(options_.context);
    }

  private:
    std::vector<LocateResult> *results_;
    LocateOptions options_;
    std::vector<DiscoveredDevice> *heard_;
    std::vector<std::pair<uint64_t, int>> keys_; // sorted MAC keys with result indexes
    int answered_ = 0;
};

} // namespace

void locate_add_match(LocateResult *result, const DiscoveredDevice &device)
{
    result->matches.push_back(device);
    result->state = state_of(result->matches);
}

void locate_narrow(LocateResult *result, in_addr address)
{
    if (address.s_addr == INADDR_ANY)
        return;
    std::erase_if(result->matches, [&](const DiscoveredDevice &device) {
        return device.source.s_addr != address.s_addr &&
               device.entry.ipaddr.s_addr != address.s_addr;
    });
    result->state = state_of(result->matches);
}

int locate_count(const std::vector<LocateResult> &results, LocateState state)
{
    return static_cast<int>(std::count_if(results.begin(), results.end(),
                                          [&](const LocateResult &r) { return r.state == state; }));
}

int locate_devices(const DiscoverInterface *interfaces, int count, const ether_addr *macs,
                   int mac_count, const LocateOptions *options, std::vector<LocateResult> *out,
                   std::vector<DiscoveredDevice> *heard)
{
    const LocateOptions chosen = options != nullptr ? *options : LocateOptions{};
    std::vector<LocateResult> wanted;
    for (int i = 0; i < mac_count; ++i)
        wanted.push_back({macs[i], LOCATE_MISSING, {}});
    Locator locator(&wanted, chosen, heard);
    DiscoverRunOptions run{};
    run.max_run_ms = chosen.max_run_ms;
    run.targets = chosen.targets;
    run.target_count = chosen.target_count;
    run.source_port = chosen.source_port;
    const int ran = discover_run_with(interfaces, count, &locator, run);
    std::move(wanted.begin(), wanted.end(), std::back_inserter(*out));
    return ran;
}
