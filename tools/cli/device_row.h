// One discovered device as the command line shows it, and its fields in
// column order, shared by every output format.
#pragma once

#include "discover.h"

#include <array>
#include <string>
#include <vector>

struct DeviceRow {
    DiscoverEntry entry;
    std::string interface; // empty when found through the wildcard address
    std::string conflict;  // other MACs at its address (at most 32), space-separated
};

struct DeviceField {
    const char *key;   // JSON member and CSV header
    const char *title; // table header
    std::string bytes; // raw 8-bit text
    bool list = false; // words separated by spaces, a JSON array
};

constexpr int DEVICE_FIELD_COUNT = 7;
using DeviceFields = std::array<DeviceField, DEVICE_FIELD_COUNT>;

DeviceFields device_fields(const DeviceRow &row);

// How many of the other devices at a shared address a row names at most.
constexpr size_t MAX_CONFLICTS_NAMED = 32;

// Fills in each row's conflict from the rows that share its address.
void mark_conflicts(std::vector<DeviceRow> *rows);

enum class OutputFormat { Table, Json, Csv };

std::string format_table(const std::vector<DeviceRow> &rows);
std::string format_json(const std::vector<DeviceRow> &rows);
std::string format_csv(const std::vector<DeviceRow> &rows);
