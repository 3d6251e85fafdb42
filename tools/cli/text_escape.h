// Turns the 8-bit texts of the protocol into text that stays valid whatever
// bytes a device sends: bytes 0x80-0xFF become their Latin-1 characters in
// UTF-8, control characters become escapes.
#pragma once

#include <string>

// A JSON string literal, quotes included.
void append_json_string(std::string &out, const std::string &bytes);
// Text for the table and CSV: control bytes (C0, DEL, C1) as \xHH and the
// backslash doubled, so every byte can be read back.
void append_escaped_text(std::string &out, const std::string &bytes);
// Characters (not bytes) in UTF-8 text, for aligning columns.
size_t utf8_length(const std::string &text);
