// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-simdevice: simulated network devices that answer the discovery,
// setup and install requests, for tests, benchmarks and demonstrations. It
// runs only inside a private network namespace.
#include "device.h"
#include "event_log.h"
#include "event_tag.h"
#include "fd_guard.h"
#include "install_service.h"
#include "netns_check.h"
#include "options.h"
#include "responder.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

static bool namespace_allowed(bool trusted)
{
    switch (network_namespace_state()) {
    case NamespaceState::Private:
        return true;
    case NamespaceState::Shared:
        std::fputs("devscout-simdevice: refusing to run in the machine's own network namespace "
                   "(start it through tests/support/netns-run)\n",
                   stderr);
        return false;
    case NamespaceState::Unknown:
        if (!trusted)
            std::fputs("devscout-simdevice: cannot tell whether this is a private network "
                       "namespace; pass --i-am-in-a-namespace if it is\n",
                       stderr);
        return trusted;
    }
    return false;
}

static bool build_devices(const SimOptions &opts, DeviceTable *table)
{
    SimDevice device;
    for (uint32_t i = 0; i < opts.generated; ++i) {
        in_addr addr;
        addr.s_addr = htonl(ntohl(opts.first.s_addr) + i);
        make_generated_device(i + 1, addr, opts.delay_max_ms, &device);
        table->add(device);
    }
    for (const char *description : opts.device_descriptions) {
        if (!parse_device_description(description, &device))
            return false;
        table->add(device);
    }
    return true;
}

// Every device may hold an install listener and its connection at once.
static void raise_descriptor_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

static FdGuard termination_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return FdGuard(signalfd(-1, &set, SFD_CLOEXEC));
}

// A parent waiting on a pipe learns that the devices answer without polling
// the log.
static bool tell_ready(int fd)
{
    FdGuard guard(fd);
    static const char READY[] = "ready\n";
    if (write(fd, READY, sizeof READY - 1) == sizeof READY - 1)
        return true;
    std::fprintf(stderr, "devscout-simdevice: --ready-fd %d: %s\n", fd, std::strerror(errno));
    return false;
}

int main(int argc, char **argv)
{
    SimOptions opts;
    if (!parse_options(argc, argv, &opts))
        return 2;
    if (!namespace_allowed(opts.trust_namespace))
        return 1;
    DeviceTable devices;
    if (!build_devices(opts, &devices))
        return 2;
    EventLog log;
    if (!log.open(opts.log_path))
        return 1;
    raise_descriptor_limit();

    FdGuard signals = termination_signals();
    FdGuard epoll_fd(epoll_create1(EPOLL_CLOEXEC));
    InstallService installs(epoll_fd.get(), &log, &devices);
    Responder responder(&devices, &log, &installs,
                        opts.seeded ? opts.seed : std::random_device{}());
    if (signals.get() < 0 || epoll_fd.get() < 0) {
        std::fprintf(stderr, "devscout-simdevice: %s\n", std::strerror(errno));
        return 1;
    }
    if (!responder.open())
        return 1;
    if (!watch(epoll_fd.get(), responder.fd(), EVENT_UDP, 0) ||
        !watch(epoll_fd.get(), signals.get(), EVENT_SIGNAL, 0)) {
        std::fprintf(stderr, "devscout-simdevice: epoll_ctl: %s\n", std::strerror(errno));
        return 1;
    }
    log.line("ready devices=%d", devices.size());
    if (opts.ready_fd >= 0 && !tell_ready(opts.ready_fd))
        return 1;

    for (;;) {
        epoll_event events[64];
        int n = epoll_wait(epoll_fd.get(), events, 64, responder.timeout_ms(monotonic_ms()));
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "devscout-simdevice: epoll_wait: %s\n", std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            uint64_t tag = events[i].data.u64;
            switch (event_kind(tag)) {
            case EVENT_SIGNAL:
                return 0;
            case EVENT_UDP:
                responder.on_readable();
                break;
            case EVENT_LISTENER:
            case EVENT_UPLOAD:
                installs.on_event(event_kind(tag), event_device(tag));
                break;
            }
        }
        responder.send_due(monotonic_ms());
    }
}
