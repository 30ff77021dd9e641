#include "data_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

// Unescapes from at to the end, or, nested in a repetition, to its closing brace.
size_t UnescapeInto(const std::string& text, size_t at, bool nested, std::string& out) {
  while (at < text.size()) {
    char c = text[at++];
    if (nested && c == '}') return at;
    if (c != '\\' || at == text.size()) {
      out += c;
      continue;
    }
    char kind = text[at++];
    if (kind == 'x') {
      out += static_cast<char>(strtol(text.substr(at, 2).c_str(), nullptr, 16));
      at += 2;
    } else if (kind == '{') {
      size_t colon = text.find(':', at);
      long count = atol(text.substr(at, colon - at).c_str());
      std::string piece;
      at = UnescapeInto(text, colon + 1, true, piece);
      while (count-- > 0) out += piece;
    } else {
      out += kind == 'r' ? '\r' : kind == 'n' ? '\n' : kind == 't' ? '\t' : kind;
    }
  }
  return at;
}

std::string Unescape(const std::string& text) {
  std::string out;
  UnescapeInto(text, 0, false, out);
  return out;
}

[[noreturn]] void Stop(const std::string& where, const std::string& what) {
  fprintf(stderr, "%s: %s\n", where.c_str(), what.c_str());
  exit(2);
}

// Calls take(row, line) for every line that is not blank or a comment.
template <typename Take>
std::vector<DataRow> Read(const std::string& name, Take take) {
  DataRow at;
  at.file = "tests/data/" + name;
  std::ifstream in(DataPath(name), std::ios::binary);
  if (!in) Stop(at.file, "cannot be read");
  std::vector<DataRow> rows;
  for (std::string line; std::getline(in, line);) {
    ++at.line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] != '#') take(rows, at, line);
  }
  return rows;
}

}  // namespace

std::string DataPath(const std::string& name) { return std::string(POSTWAIN_TEST_DATA) + "/" + name; }

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find(separator, start), text.size());
    pieces.push_back(text.substr(start, end - start));
  }
  return pieces;
}

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char hex[8];
    snprintf(hex, sizeof hex, "\\x%02x", c);
    out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c < 32 || c >= 127 ? hex : std::string(1, static_cast<char>(c));
  }
  return out;
}

std::string DataRow::Name() const {
  std::string name;
  for (const std::string& field : fields) name += (name.empty() ? "" : "  ") + Escaped(field);
  return name.size() > 100 ? name.substr(0, 100) + "..." : name;
}

const std::string& DataRow::operator[](size_t index) const {
  static const std::string none;
  return index < fields.size() ? fields[index] : none;
}

std::vector<std::string> DataRow::All(const std::string& key) const {
  std::vector<std::string> all;
  for (const auto& [name, value] : values) {
    if (name == key) all.push_back(value);
  }
  return all;
}

std::string DataRow::Get(const std::string& key, const std::string& fallback) const {
  std::vector<std::string> all = All(key);
  return all.empty() ? fallback : all.front();
}

std::string DataRow::Joined(const std::string& key, const std::string& separator) const {
  std::string joined;
  for (const std::string& value : All(key)) joined += (joined.empty() ? "" : separator) + value;
  return joined;
}

std::vector<DataRow> ReadDataRows(const std::string& name) {
  return Read(name, [](std::vector<DataRow>& rows, const DataRow& at, const std::string& line) {
    DataRow& row = rows.emplace_back(at);
    for (size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1) {
      tab = line.find('\t', start);
      row.fields.push_back(Unescape(line.substr(start, tab - start)));
    }
  });
}

std::vector<DataRow> ReadDataBlocks(const std::string& name) {
  return Read(name, [](std::vector<DataRow>& rows, const DataRow& at, const std::string& line) {
    size_t colon = line.find(':');
    if (line.rfind("== ", 0) == 0) {
      rows.push_back(at);
      rows.back().fields.push_back(line.substr(3));
    } else if (rows.empty() || colon == std::string::npos || line.find_first_of(" \t") < colon ||
               (line.compare(colon, 2, ": ") != 0 && colon + 1 != line.size())) {
      Stop(at.file + ":" + std::to_string(at.line), "neither \"== name\" nor \"key: value\": " + line);
    } else {
      rows.back().values.emplace_back(line.substr(0, colon), Unescape(line.substr(std::min(colon + 2, line.size()))));
    }
  });
}
