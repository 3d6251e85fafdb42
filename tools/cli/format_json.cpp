#include "device_row.h"
#include "text_escape.h"

#include <algorithm>

// ["a", "b"] from "a b"; [] from "".
static void append_json_list(std::string &out, const std::string &words)
{
    out += '[';
    for (size_t start = 0; start < words.size();) {
        size_t end = std::min(words.find(' ', start), words.size());
        if (start > 0)
            out += ", ";
        append_json_string(out, words.substr(start, end - start));
        start = end + 1;
    }
    out += ']';
}

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
            if (fields[f].list)
                append_json_list(out, fields[f].bytes);
            else
                append_json_string(out, fields[f].bytes);
        }
        out += '}';
    }
    out += rows.empty() ? "]\n" : "\n]\n";
    return out;
}
