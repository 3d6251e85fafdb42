#include "device_row.h"
#include "text_escape.h"

// A field is quoted only when it holds a comma or a quote; CR and LF never
// occur since the escaping has turned them into \x0d and \x0a.
static void append_csv_field(std::string &out, const std::string &bytes)
{
    std::string text;
    append_escaped_text(text, bytes);
    if (text.find_first_of(",\"") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

std::string format_csv(const std::vector<DeviceRow> &rows)
{
    std::string out;
    const DeviceFields header = device_fields(DeviceRow{});
    for (size_t f = 0; f < header.size(); ++f) {
        if (f > 0)
            out += ',';
        out += header[f].key;
    }
    out += "\r\n";
    for (const DeviceRow &row : rows) {
        const DeviceFields fields = device_fields(row);
        for (size_t f = 0; f < fields.size(); ++f) {
            if (f > 0)
                out += ',';
            append_csv_field(out, fields[f].bytes);
        }
        out += "\r\n";
    }
    return out;
}
