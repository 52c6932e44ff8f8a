#include "TextTable.h"

#include <algorithm>

std::size_t textWidth(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

void writeTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows,
                bool tabSeparated) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size())
            widths.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], textWidth(row[i]));
    }
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            out << row[i];
            if (i + 1 == row.size())
                break;
            if (tabSeparated)
                out << '\t';
            else
                out << std::string(widths[i] - textWidth(row[i]) + 2, ' ');
        }
        out << '\n';
    }
}
