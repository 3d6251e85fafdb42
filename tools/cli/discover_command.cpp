#include "discover_command.h"

#include "discover_run.h"
#include "select_interfaces.h"

#include <cstdio>

namespace
{

class RowCollector : public DiscoverSink
{
  public:
    void found(const DiscoveredDevice &device) override
    {
        rows.push_back({device.entry, device.where.name, ""});
    }

    std::vector<DeviceRow> rows;
};

} // namespace

int run_discover(const CliCommand &command)
{
    std::vector<DiscoverInterface> interfaces;
    if (select_interfaces(command, &interfaces) < 0)
        return STATUS_USAGE;

    RowCollector collector;
    if (discover_run(interfaces.data(), static_cast<int>(interfaces.size()), &collector,
                     command.max_run_ms) < 0) {
        print_cli_error("the discovery could not run on any interface");
        return STATUS_FAILED;
    }
    mark_conflicts(&collector.rows);

    // The run prints nothing on stdout (its requests and acknowledgements are
    // bare headers, too short for the encoder's overflow line), so stdout
    // carries the document alone.
    const std::string out = format_rows(collector.rows, command.format);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? STATUS_OK : STATUS_FAILED;
}
