// Test tables kept as data: the rows of a table live in a text file under tests/data, and
// one runner in the test reads them. Lines beginning with "#", and blank lines, are
// skipped. A file has one of two forms:
//   rows     one row a line, its fields separated by tabs
//   blocks   "== name" begins a row; every "key: value" line below it adds a value
// Fields and values take the escapes \r \n \t \\ \xNN, and \{N:text} for text N times.
// A file that cannot be read, or a line of neither form, stops the test program with the
// file and line, since every table behind it would pass unseen.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct DataRow {
  std::string file;  // as "tests/data/NAME", for failure messages
  int line = 0;
  std::vector<std::string> fields;                          // rows; a block's name alone
  std::vector<std::pair<std::string, std::string>> values;  // blocks, in file order

  // A field, or "" when the row has fewer.
  const std::string& operator[](size_t index) const;
  // Every value of a key, in order; its first one or fallback; all of them joined.
  std::vector<std::string> All(const std::string& key) const;
  std::string Get(const std::string& key, const std::string& fallback = "") const;
  std::string Joined(const std::string& key, const std::string& separator) const;
  // The fields (a block's name), escaped and cut short, to name the row.
  std::string Name() const;
};

// Where a file of tests/data is, by its name there.
std::string DataPath(const std::string& name);
std::vector<DataRow> ReadDataRows(const std::string& name);
std::vector<DataRow> ReadDataBlocks(const std::string& name);
// The pieces of text between separators ("a||b" is "a", "", "b"; "" is none).
std::vector<std::string> Split(const std::string& text, char separator);
// Shows control bytes readably: "+OK\r\n" as +OK\r\n.
std::string Escaped(const std::string& bytes);

// Names a failing row's data file and line in every failure inside the current scope.
#define DATA_ROW_TRACE(row) testing::ScopedTrace dataRowTrace((row).file.c_str(), (row).line, (row).Name())
