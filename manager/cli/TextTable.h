#pragma once

#include <ostream>
#include <string>
#include <vector>

// Writes rows either tab-separated or as columns padded to the widest cell;
// widths count characters, not UTF-8 bytes. The last column is never padded.
void writeTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows,
                bool tabSeparated);

// Characters in a UTF-8 text.
std::size_t textWidth(const std::string& text);
