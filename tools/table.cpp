#include "table.h"

#include <algorithm>

namespace korvane::tool {

namespace {

std::vector<std::size_t> columnWidths(const Table& table) {
    std::vector<std::size_t> widths(table.header.size());
    for (std::size_t c = 0; c < widths.size(); ++c) widths[c] = table.header[c].size();
    for (const auto& row : table.rows)
        for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    return widths;
}

void printRow(std::FILE* out, const std::vector<std::string>& row,
              const std::vector<std::size_t>& widths, bool label_column) {
    for (std::size_t c = 0; c < row.size(); ++c) {
        const int width = static_cast<int>(widths[c]);
        const char* gap = c == 0 ? "" : "  ";
        if (c == 0 && label_column) std::fprintf(out, "%-*s", width, row[c].c_str());
        else std::fprintf(out, "%s%*s", gap, width, row[c].c_str());
    }
    std::fputc('\n', out);
}

}  // namespace

void printTable(std::FILE* out, const Table& table) {
    const std::vector<std::size_t> widths = columnWidths(table);
    printRow(out, table.header, widths, table.label_column);
    for (const auto& row : table.rows) printRow(out, row, widths, table.label_column);
}

void printCsv(std::FILE* out, const Table& table) {
    auto line = [out](const std::vector<std::string>& cells) {
        for (std::size_t c = 0; c < cells.size(); ++c)
            std::fprintf(out, "%s%s", c ? "," : "", cells[c].c_str());
        std::fputc('\n', out);
    };
    line(table.header);
    for (const auto& row : table.rows) line(row);
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string grouped(std::uint64_t value) {
    const std::string digits = std::to_string(value);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

}  // namespace korvane::tool
