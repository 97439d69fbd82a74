// Plain-text tables for people and CSV for programs, from the same rows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvane::tool {

struct Table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    bool label_column = true;  // the first column holds labels (left-aligned)
};

// Columns two spaces apart, right-aligned except a label column.
void printTable(std::FILE* out, const Table& table);
void printCsv(std::FILE* out, const Table& table);

std::string fixed(double value, int decimals);
std::string grouped(std::uint64_t value);  // 1234567 -> "1,234,567"

}  // namespace korvane::tool
