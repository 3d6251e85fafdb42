#include "device_row.h"
#include "text_escape.h"

std::string format_json(const std::vector<DeviceRow> &rows)
{
    std::string out = "[";
    for (size_t i = 0; i < rows.size(); ++i) {
        out += i == 0 ? "\n  {" : ",\n  {";
        const DeviceFields fields = device_fields(rows[i]);
        for (size_t f = 0; f < fields.size(); ++f) {
            if (f > 0)
                out += ", ";
            append_json_string(out, fields[f].key);
            out += ": ";
            append_json_string(out, fields[f].bytes);
        }
        out += '}';
    }
    out += rows.empty() ? "]\n" : "\n]\n";
    return out;
}
