// SPDX-License-Identifier: GPL-3.0-or-later
#include "doctor.h"

#include "discover_run.h"

namespace
{

// Counts nothing itself: the run's own counters are what the probe reports.
class SilentSink : public DiscoverSink
{
  public:
    explicit SilentSink(const DoctorOptions &options) : options_(options) {}
    void found(const DiscoveredDevice &) override {}
    bool stop_requested() override { return options_.stop && options_.stop(); }

  private:
    const DoctorOptions &options_;
};

} // namespace

void check_probe(const DoctorOptions &options, std::vector<DoctorLine> *lines)
{
    const std::vector<DiscoverInterface> interfaces = default_discover_interfaces();
    std::vector<DiscoverInterfaceStats> stats(interfaces.size());
    DiscoverRunOptions run{};
    run.targets = options.targets.data();
    run.target_count = static_cast<int>(options.targets.size());
    run.source_port = options.source_port;
    run.stats = stats.data();
    SilentSink sink(options);
    if (discover_run_with(interfaces.data(), static_cast<int>(interfaces.size()), &sink, run) < 0) {
        lines->push_back({DOCTOR_PROBLEM, "probe: no request could be sent on any interface"});
        return;
    }
    for (size_t i = 0; i < interfaces.size(); ++i) {
        const DiscoverInterfaceStats &seen = stats[i];
        const std::string name = is_wildcard(interfaces[i]) ? "any address" : interfaces[i].name;
        std::string line = "probe " + name + ": " + std::to_string(seen.requests_sent) +
                           " requests sent, " + std::to_string(seen.datagrams_received) +
                           " datagrams received, " + std::to_string(seen.valid_replies) +
                           " valid replies";
        DoctorSeverity severity = DOCTOR_OK;
        if (seen.requests_sent == 0) {
            severity = DOCTOR_PROBLEM;
            line += ": no request left";
        } else if (seen.datagrams_received == 0) {
            severity = DOCTOR_NOTE;
            line += ": nothing came back (no device there, or its replies were dropped)";
        }
        lines->push_back({severity, line});
    }
}

std::vector<DoctorLine> run_doctor(const DoctorOptions &options)
{
    std::vector<DoctorLine> lines;
    check_interfaces(&lines);
    check_packet_filter(options, &lines);
    check_routing(&lines);
    if (options.probe)
        check_probe(options, &lines);
    return lines;
}

std::string doctor_line_text(const DoctorLine &line)
{
    static const char *const words[] = {"ok", "note", "problem", "not checked"};
    return std::string(words[line.severity]) + ": " + line.text;
}

std::string doctor_likely_reason(const std::vector<DoctorLine> &lines)
{
    for (DoctorSeverity wanted : {DOCTOR_PROBLEM, DOCTOR_UNCHECKED})
        for (const DoctorLine &line : lines)
            if (line.severity == wanted)
                return line.text;
    return {};
}
