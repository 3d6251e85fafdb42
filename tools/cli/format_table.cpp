#include "device_row.h"
#include "text_escape.h"

#include <algorithm>

std::string format_table(const std::vector<DeviceRow> &rows)
{
    const DeviceFields header = device_fields(DeviceRow{});
    std::vector<std::array<std::string, DEVICE_FIELD_COUNT>> cells;
    std::array<size_t, DEVICE_FIELD_COUNT> widths{};
    cells.emplace_back();
    for (size_t f = 0; f < header.size(); ++f) {
        cells.back()[f] = header[f].title;
        widths[f] = utf8_length(cells.back()[f]);
    }
    for (const DeviceRow &row : rows) {
        const DeviceFields fields = device_fields(row);
        cells.emplace_back();
        for (size_t f = 0; f < fields.size(); ++f) {
            append_escaped_text(cells.back()[f], fields[f].bytes);
            widths[f] = std::max(widths[f], utf8_length(cells.back()[f]));
        }
    }

    std::string out;
    for (const auto &line : cells) {
        // An empty last column (no conflict) gets no padding before it, so
        // such a line ends with its interface.
        const size_t count = line.back().empty() ? line.size() - 1 : line.size();
        std::string text;
        for (size_t f = 0; f < count; ++f) {
            text += line[f];
            if (f + 1 < count)
                text.append(widths[f] - utf8_length(line[f]) + 2, ' ');
        }
        out += text;
        out += '\n';
    }
    return out;
}
