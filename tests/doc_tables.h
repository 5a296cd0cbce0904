// Reads the example tables of the user documents, so that a test can run each
// row against the real library: a table is the one that follows a line
// "<!-- test: NAME -->" in a Markdown file of docs/.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace dvx::test {

using TableRow = std::vector<std::string>;

inline std::string DocPath(const std::string& name) { return std::string(DVX_SOURCE_DIR) + "/" + name; }

inline std::string ReadDocument(const std::string& name) {
    std::ifstream file(DocPath(name), std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + DocPath(name));
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

inline std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The body rows of the table marked NAME, each cell trimmed. Throws when the
// marker or the table is missing, so that a renamed table cannot pass empty.
inline std::vector<TableRow> DocTable(const std::string& document, const std::string& name) {
    const std::string text = ReadDocument(document);
    const std::string marker = "<!-- test: " + name + " -->";
    const size_t at = text.find(marker);
    if (at == std::string::npos) throw std::runtime_error(document + ": no table " + name);
    std::istringstream lines(text.substr(at + marker.size()));
    std::string line;
    std::vector<TableRow> rows;
    size_t tableLine = 0;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() && tableLine == 0) continue;
        if (line.empty() || line[0] != '|') break;
        if (tableLine++ < 2) continue; // the header and its rule
        // Cells end at each '|' but an escaped one ("\\|"), which stays in the cell.
        TableRow row;
        size_t start = 1;
        for (size_t i = 1; i < line.size(); ++i) {
            if (line[i] != '|' || line[i - 1] == '\\') continue;
            row.push_back(Trim(line.substr(start, i - start)));
            start = i + 1;
        }
        rows.push_back(row);
    }
    if (rows.empty()) throw std::runtime_error(document + ": table " + name + " has no rows");
    return rows;
}

// The text of a cell written as `code`; "(empty)" stands for the empty text.
inline std::string CodeText(const std::string& cell) {
    if (cell == "(empty)") return "";
    if (cell.size() < 2 || cell.front() != '`' || cell.back() != '`')
        throw std::runtime_error("cell is not `code`: " + cell);
    return cell.substr(1, cell.size() - 2);
}

// A cell holding a plain number such as 2500, -0.5 or 4.7e-6.
inline double NumberCell(const std::string& cell) {
    char* end = nullptr;
    const double value = std::strtod(cell.c_str(), &end);
    if (cell.empty() || *end != '\0') throw std::runtime_error("cell is not a number: " + cell);
    return value;
}

// Turns the written escape \n of a message cell into the line break it stands for.
inline std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            out.push_back('\n');
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

} // namespace dvx::test
