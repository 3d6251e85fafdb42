// SPDX-License-Identifier: GPL-3.0-or-later
#include "options.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

static const char USAGE[] =
    "usage: devscout-simdevice [--log FILE] [--devices N [--first ADDR]] [--delay-max MS]\n"
    "                          [--seed N] [--ready-fd N] [--i-am-in-a-namespace] [DEVICE...]\n"
    "--ready-fd N: once the devices answer, writes \"ready\\n\" to descriptor N and\n"
    "  closes it.\n"
    "DEVICE: addr=ADDR[,ip=IP|none][,mac=MAC][,mask=MASK][,host=TEXT][,fw=TEXT]\n"
    "        [,answer=all|first|none][,setup=N|none][,install=N|none]\n"
    "        [,close-after=BYTES|,reset-after=BYTES|,stall-after=BYTES]\n"
    "        [,install-port=listen|closed|blackhole][,claim=own|any|echo]\n"
    "        [,reply-to=source|broadcast][,repeat=MS][,flood=N]\n"
    "        [,session=same|other][,reply=normal|malformed|oversized|wrongtype][,delay=MS]\n"
    "        [,fw-after-install=TEXT][,after-install=stay|gone][,after-setup=stay|gone]\n"
    "        [,restart-after=MS]\n"
    "close-after, reset-after, stall-after: once BYTES image bytes have arrived, the\n"
    "  device closes the upload, resets it (RST), or stops reading it for good; a\n"
    "  stalled upload stays open until the device's next install request drops it.\n"
    "install-port=closed|blackhole: the device accepts an install request but opens\n"
    "  no listener (connections are refused), or one that never completes a\n"
    "  connection (connects hang).\n"
    "claim=any|echo: the device answers setup and install requests for every MAC,\n"
    "  with its own MAC or with the requested one; it takes a setup's settings only\n"
    "  when the request names its own MAC.\n"
    "reply-to=broadcast: the device sends its replies to 255.255.255.255 at the\n"
    "  request's source port.\n"
    "repeat=MS: the device sends each reply again every MS milliseconds until it\n"
    "  ends; a newer reply to the same destination takes the older one's place.\n"
    "flood=N: on each discover request, answered or not, the device first sends N\n"
    "  junk datagrams to the request's source: undecodable ones by turns with its\n"
    "  reply under another session.\n"
    "fw-after-install=TEXT: once an upload is complete, the device reports TEXT as\n"
    "  its firmware.\n"
    "after-install=gone: once an upload is complete, the device answers no\n"
    "  discovery any more, as one that does not come back from its restart.\n"
    "restart-after=MS: those two changes come MS milliseconds after the upload; until\n"
    "  then the device answers as before, as one still running its old image.\n"
    "after-setup=gone: once it took a setup, the device answers no discovery any\n"
    "  more, as one whose new address cannot be reached.\n";

bool parse_number(const char *text, uint64_t max, uint64_t *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || errno != 0 || *end != 0 || n > max)
        return false;
    *out = n;
    return true;
}

bool parse_options(int argc, char **argv, SimOptions *opts)
{
    enum { LOG = 1, DEVICES, FIRST, DELAY_MAX, SEED, READY_FD, TRUST, HELP };
    static const option longopts[] = {
        {"log", required_argument, nullptr, LOG},
        {"devices", required_argument, nullptr, DEVICES},
        {"first", required_argument, nullptr, FIRST},
        {"delay-max", required_argument, nullptr, DELAY_MAX},
        {"seed", required_argument, nullptr, SEED},
        {"ready-fd", required_argument, nullptr, READY_FD},
        {"i-am-in-a-namespace", no_argument, nullptr, TRUST},
        {"help", no_argument, nullptr, HELP},
        {nullptr, 0, nullptr, 0},
    };
    inet_pton(AF_INET, "127.1.0.1", &opts->first);
    int c;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        bool ok = true;
        switch (c) {
        case LOG:
            opts->log_path = optarg;
            break;
        case DEVICES:
            ok = parse_number(optarg, 1UL << 24, &opts->generated);
            break;
        case FIRST:
            ok = inet_pton(AF_INET, optarg, &opts->first) == 1;
            break;
        case DELAY_MAX:
            ok = parse_number(optarg, 3600 * 1000, &opts->delay_max_ms);
            break;
        case SEED:
            ok = parse_number(optarg, UINT32_MAX, &opts->seed);
            opts->seeded = true;
            break;
        case READY_FD:
            ok = parse_number(optarg, INT32_MAX, &opts->ready_fd);
            break;
        case TRUST:
            opts->trust_namespace = true;
            break;
        default:
            std::fputs(USAGE, c == HELP ? stdout : stderr);
            return false;
        }
        if (!ok) {
            std::fprintf(stderr, "devscout-simdevice: bad value '%s' for --%s\n", optarg,
                         longopts[c - 1].name);
            return false;
        }
    }
    for (int i = optind; i < argc; ++i)
        opts->device_descriptions.push_back(argv[i]);
    if (opts->generated == 0 && opts->device_descriptions.empty()) {
        std::fputs("devscout-simdevice: no devices (give --devices N or DEVICE)\n", stderr);
        return false;
    }
    return true;
}
