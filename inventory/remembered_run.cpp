// SPDX-License-Identifier: GPL-3.0-or-later
#include "remembered_run.h"

#include "sighting.h"

#include <set>
#include <tuple>

namespace
{

// Passes the devices of both runs on once each, noting the MACs heard.
class Heard : public DiscoverSink
{
  public:
    explicit Heard(DiscoverSink *sink) : sink(sink) {}

    void found(const DiscoveredDevice &device) override
    {
        const QString mac = mac_key(device.entry.mac);
        if (!reported.emplace(mac, device.entry.ipaddr.s_addr, device.source.s_addr).second)
            return;
        macs.insert(mac);
        sink->found(device);
    }
    bool stop_requested() override { return sink->stop_requested(); }

    QSet<QString> macs;

  private:
    DiscoverSink *sink;
    std::set<std::tuple<QString, uint32_t, uint32_t>> reported;
};

} // namespace

int discover_asking_remembered(const Inventory *inventory, const DiscoverInterface *interfaces,
                               int count, DiscoverSink *sink, const DiscoverRunOptions &options)
{
    Heard heard(sink);
    const int status = discover_run_with(interfaces, count, &heard, options);
    if (status < 0 || inventory == nullptr || sink->stop_requested())
        return status;
    const std::vector<in_addr> absent = inventory->absentAddresses(heard.macs);
    if (absent.empty())
        return status;
    DiscoverRunOptions asking = options;
    asking.targets = absent.data();
    asking.target_count = static_cast<int>(absent.size());
    asking.targets_only = 1;
    discover_run_with(interfaces, count, &heard, asking);
    return status;
}
