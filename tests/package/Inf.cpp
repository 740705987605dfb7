#include "Inf.h"

#include <cctype>

namespace vxtest {

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char &c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

namespace {

std::string Trim(std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

[[noreturn]] void Fail(int line, const std::string &why)
{
    throw std::runtime_error("INF line " + std::to_string(line) + ": " + why);
}

// Splits one logical line into its key and fields; strips the comment.
InfLine SplitEntry(std::string_view text, int line)
{
    InfLine entry;
    entry.line = line;
    std::vector<std::string> fields;
    std::string current;
    bool quoted = false;
    bool sawEquals = false;
    bool anyQuoted = false;
    std::size_t quotedEnd = 0;
    std::string key;
    auto finishField = [&] {
        if (anyQuoted) {
            // Keep the quoted text as is; drop what follows the closing quote.
            if (!Trim(current.substr(quotedEnd)).empty()) {
                Fail(line, "text after a closing quote");
            }
            fields.push_back(current.substr(0, quotedEnd));
        } else {
            fields.push_back(Trim(current));
        }
        current.clear();
        anyQuoted = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                current += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
                quotedEnd = current.size();
            } else {
                current += c;
            }
        } else if (c == '"') {
            quoted = true;
            anyQuoted = true;
            current = Trim(current);
        } else if (c == ';') {
            break;
        } else if (c == '=' && !sawEquals && fields.empty()) {
            sawEquals = true;
            key = Trim(current);
            current.clear();
            anyQuoted = false;
        } else if (c == ',') {
            finishField();
        } else {
            current += c;
        }
    }
    if (quoted) {
        Fail(line, "unterminated quoted string");
    }
    finishField();
    if (sawEquals && key.empty()) {
        Fail(line, "'=' without a key");
    }
    entry.key = key;
    entry.fields = std::move(fields);
    return entry;
}

std::string Substitute(const std::string &field, const std::map<std::string, std::string> &strings, int line)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            out += field[i];
            continue;
        }
        std::size_t end = field.find('%', i + 1);
        if (end == std::string::npos) {
            Fail(line, "unmatched '%' in \"" + field + "\"");
        }
        std::string name = field.substr(i + 1, end - i - 1);
        i = end;
        if (name.empty()) {
            out += '%';
        } else if (name.find_first_not_of("0123456789") == std::string::npos) {
            out += "%" + name + "%";  // a directory id, resolved at install time
        } else {
            auto found = strings.find(Lower(name));
            if (found == strings.end()) {
                Fail(line, "undefined string %" + name + "%");
            }
            out += found->second;
        }
    }
    return out;
}

}  // namespace

std::vector<std::string> InfSection::Values(std::string_view key) const
{
    for (const InfLine &line : lines) {
        if (Lower(line.key) == Lower(key)) {
            return line.fields;
        }
    }
    return {};
}

std::vector<const InfLine *> InfSection::All(std::string_view key) const
{
    std::vector<const InfLine *> out;
    for (const InfLine &line : lines) {
        if (Lower(line.key) == Lower(key)) {
            out.push_back(&line);
        }
    }
    return out;
}

Inf Inf::Parse(std::string_view text)
{
    Inf inf;
    InfSection *current = nullptr;
    std::string pending;
    int pendingLine = 0;
    int number = 0;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string raw(text.substr(at, end - at));
        at = end + 1;
        ++number;
        if (!raw.empty() && raw.back() == '\r') {
            raw.pop_back();
        }
        // A backslash ending the line (before any comment) continues it.
        std::string body = raw;
        bool inQuotes = false;
        for (std::size_t i = 0; i < body.size(); ++i) {
            if (body[i] == '"') {
                inQuotes = !inQuotes;
            } else if (body[i] == ';' && !inQuotes) {
                body.resize(i);
                break;
            }
        }
        body = Trim(body);
        if (pending.empty()) {
            pendingLine = number;
        }
        if (!body.empty() && body.back() == '\\') {
            body.pop_back();
            pending += body;
            continue;
        }
        pending += body;
        std::string logical = Trim(pending);
        pending.clear();
        if (logical.empty()) {
            continue;
        }
        if (logical.front() == '[') {
            if (logical.back() != ']') {
                Fail(pendingLine, "malformed section header " + logical);
            }
            std::string name = Trim(logical.substr(1, logical.size() - 2));
            if (name.empty()) {
                Fail(pendingLine, "empty section name");
            }
            auto [it, added] = inf.sections_.try_emplace(Lower(name), InfSection{name, {}});
            if (!added) {
                Fail(pendingLine, "section [" + name + "] appears twice");
            }
            current = &it->second;
            continue;
        }
        if (current == nullptr) {
            Fail(pendingLine, "entry before the first section");
        }
        current->lines.push_back(SplitEntry(logical, pendingLine));
    }
    if (!pending.empty()) {
        Fail(number, "continuation at the end of the file");
    }

    std::map<std::string, std::string> strings;
    if (const InfSection *section = inf.Find("Strings")) {
        for (const InfLine &line : section->lines) {
            if (line.key.empty() || line.fields.size() != 1) {
                Fail(line.line, "malformed [Strings] entry");
            }
            strings[Lower(line.key)] = line.fields[0];
        }
    }
    for (auto &[name, section] : inf.sections_) {
        if (name == "strings") {
            continue;
        }
        for (InfLine &line : section.lines) {
            line.key = Substitute(line.key, strings, line.line);
            for (std::string &field : line.fields) {
                field = Substitute(field, strings, line.line);
            }
        }
    }
    return inf;
}

const InfSection *Inf::Find(std::string_view section) const
{
    auto found = sections_.find(Lower(section));
    return found == sections_.end() ? nullptr : &found->second;
}

}  // namespace vxtest
