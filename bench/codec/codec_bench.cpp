// SPDX-License-Identifier: GPL-3.0-or-later
// Time to encode and decode one packet.
#include "discover.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cstring>

namespace
{

DiscoverEntry device_reply()
{
    DiscoverEntry entry;
    reset_discover_packet(&entry);
    entry.type = DISCOVER_REPLY;
    entry.session_id[0] = 0x12;
    entry.session_id[1] = 0x34;
    std::strcpy(entry.firmware, "NAS firmware 4.2.1 (build 2026-11-30)");
    std::strcpy(entry.hostname, "storage-basement");
    const unsigned char mac[6] = {0x00, 0x0a, 0x95, 0x01, 0x2b, 0xff};
    std::memcpy(&entry.mac, mac, sizeof(mac));
    inet_pton(AF_INET, "192.0.2.20", &entry.ipaddr);
    inet_pton(AF_INET, "255.255.255.0", &entry.netmask);
    entry.dhcp = 1;
    return entry;
}

void encode_reply(benchmark::State &state)
{
    const DiscoverEntry entry = device_reply();
    unsigned char packet[MAX_PACKET_LEN];
    for (auto _ : state) {
        benchmark::DoNotOptimize(encode_discover_packet(&entry, packet));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(encode_reply);

void decode_reply(benchmark::State &state)
{
    const DiscoverEntry entry = device_reply();
    unsigned char packet[MAX_PACKET_LEN];
    const int length = encode_discover_packet(&entry, packet);
    DiscoverEntry decoded;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parse_discover_packet(packet, length, &decoded));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * length);
}
BENCHMARK(decode_reply);

void decode_request(benchmark::State &state)
{
    const unsigned char packet[3] = {DISCOVER_REQUEST, 0x12, 0x34};
    DiscoverEntry decoded;
    for (auto _ : state)
        benchmark::DoNotOptimize(parse_discover_packet(packet, sizeof(packet), &decoded));
}
BENCHMARK(decode_request);

} // namespace

BENCHMARK_MAIN();
