// A discovery run's devices as the tests look at them.
#pragma once

#include "discover_run.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <map>
#include <string>

struct Found {
    DiscoverEntry entry;
    std::string interface;
    std::string source;
};

// The devices of a run by "address mac"; a device reported twice fails.
class RecordingSink : public DiscoverSink
{
  public:
    void found(const DiscoveredDevice &device) override
    {
        const std::string key =
            std::string(inet_ntoa(device.entry.ipaddr)) + " " + ether_ntoa(&device.entry.mac);
        Found &f = devices[key];
        EXPECT_EQ(f.entry.type, 0) << "found twice: " << key;
        f.entry = device.entry;
        f.interface = device.where.name;
        f.source = inet_ntoa(device.source);
    }
    std::map<std::string, Found> devices;
};
