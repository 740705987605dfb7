// A reader for setup information (INF) files: sections, entries and their
// comma-separated fields, with quoting, comments, line continuation and
// %string% substitution from [Strings].
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vxtest {

struct InfLine {
    std::string key;  // empty for a line without '='
    std::vector<std::string> fields;
    int line = 0;
};

struct InfSection {
    std::string name;  // as written
    std::vector<InfLine> lines;

    // Fields of the first entry with this key (case-insensitive), or empty.
    std::vector<std::string> Values(std::string_view key) const;
    // Every entry with this key.
    std::vector<const InfLine *> All(std::string_view key) const;
};

class Inf {
public:
    // Throws std::runtime_error with the line number on a malformed file or an
    // undefined %string%.
    static Inf Parse(std::string_view text);

    const InfSection *Find(std::string_view section) const;  // case-insensitive
    bool Has(std::string_view section) const { return Find(section) != nullptr; }
    const std::map<std::string, InfSection> &Sections() const { return sections_; }

private:
    std::map<std::string, InfSection> sections_;  // by lower-case name
};

std::string Lower(std::string_view text);

}  // namespace vxtest
