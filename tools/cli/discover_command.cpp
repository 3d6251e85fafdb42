#include "discover_command.h"

#include "discover_run.h"
#include "select_interfaces.h"

#include <cstdio>

namespace
{

class RowCollector : public DiscoverSink
{
  public:
    void found(const DiscoverEntry &entry, const DiscoverInterface &where) override
    {
        rows.push_back({entry, where.name});
    }

    std::vector<DeviceRow> rows;
};

} // namespace

int run_discover(const CliCommand &command)
{
    DiscoverInterface interfaces[MAX_DISCOVER_INTERFACES];
    int count = select_interfaces(command, interfaces, MAX_DISCOVER_INTERFACES);
    if (count < 0)
        return STATUS_USAGE;

    RowCollector collector;
    if (discover_run(interfaces, count, &collector) < 0) {
        print_cli_error("the discovery could not run on any interface");
        return STATUS_FAILED;
    }

    // The run prints nothing on stdout (its requests and acknowledgements are
    // bare headers, too short for the encoder's overflow line), so stdout
    // carries the document alone.
    std::string out;
    switch (command.format) {
    case OutputFormat::Table:
        out = format_table(collector.rows);
        break;
    case OutputFormat::Json:
        out = format_json(collector.rows);
        break;
    case OutputFormat::Csv:
        out = format_csv(collector.rows);
        break;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? STATUS_OK : STATUS_FAILED;
}
