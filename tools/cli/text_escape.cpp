#include "text_escape.h"

#include <cstdio>

static bool is_control(unsigned char byte)
{
    return byte < 0x20 || (byte >= 0x7f && byte < 0xa0);
}

static void append_latin1(std::string &out, unsigned char byte)
{
    if (byte < 0x80) {
        out += static_cast<char>(byte);
        return;
    }
    out += static_cast<char>(0xc0 | (byte >> 6));
    out += static_cast<char>(0x80 | (byte & 0x3f));
}

void append_json_string(std::string &out, const std::string &bytes)
{
    out += '"';
    for (unsigned char byte : bytes) {
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (is_control(byte)) {
            char escape[7];
            std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
            out += escape;
        } else {
            append_latin1(out, byte);
        }
    }
    out += '"';
}

void append_escaped_text(std::string &out, const std::string &bytes)
{
    for (unsigned char byte : bytes) {
        if (byte == '\\') {
            out += "\\\\";
        } else if (is_control(byte)) {
            char escape[5];
            std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
            out += escape;
        } else {
            append_latin1(out, byte);
        }
    }
}

size_t utf8_length(const std::string &text)
{
    size_t count = 0;
    for (unsigned char byte : text)
        if ((byte & 0xc0) != 0x80)
            ++count;
    return count;
}
