// MOF source parser for the subset described in Mof.h.
#include "Mof.h"

#include <array>
#include <cctype>
#include <climits>
#include <cstdlib>

namespace vxbmof {

namespace {

struct TypeEntry {
    std::string_view name;
    std::uint32_t cimType;
};

// The CIMTYPE_ENUMERATION values of wbemcli.h.
constexpr std::array<TypeEntry, 14> kTypes{{
    {"sint8", 0x10},
    {"uint8", 0x11},
    {"sint16", 0x02},
    {"uint16", 0x12},
    {"sint32", 0x03},
    {"uint32", 0x13},
    {"sint64", 0x14},
    {"uint64", 0x15},
    {"real32", 0x04},
    {"real64", 0x05},
    {"boolean", 0x0B},
    {"string", 0x08},
    {"datetime", 0x65},
    {"char16", 0x67},
}};

bool EqualsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

enum class TokenKind { End, Identifier, String, Integer, Punct, Pragma };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;  // identifier, decoded string, punctuation or pragma name
    std::int64_t integer = 0;
    int line = 1;
    int column = 1;
};

class Lexer {
public:
    explicit Lexer(std::string_view source) : source_(source) {}

    Token Next()
    {
        SkipSpaceAndComments();
        Token token;
        token.line = line_;
        token.column = column_;
        if (pos_ >= source_.size()) {
            return token;
        }
        char c = source_[pos_];
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            token.kind = TokenKind::Identifier;
            while (pos_ < source_.size() &&
                   (std::isalnum(static_cast<unsigned char>(source_[pos_])) || source_[pos_] == '_')) {
                token.text += Advance();
            }
        } else if (c == '"') {
            token.kind = TokenKind::String;
            token.text = ReadString(token);
        } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+') {
            token.kind = TokenKind::Integer;
            token.integer = ReadInteger(token);
        } else if (c == '#') {
            Advance();
            token.kind = TokenKind::Pragma;
            std::string word;
            while (pos_ < source_.size() && std::isalpha(static_cast<unsigned char>(source_[pos_]))) {
                word += Advance();
            }
            if (word != "pragma") {
                Fail(token, "unknown directive '#" + word + "'");
            }
            SkipSpaceAndComments();
            while (pos_ < source_.size() && std::isalpha(static_cast<unsigned char>(source_[pos_]))) {
                token.text += Advance();
            }
            if (token.text.empty()) {
                Fail(token, "#pragma without a name");
            }
        } else if (std::string_view("[](){},;:=").find(c) != std::string_view::npos) {
            token.kind = TokenKind::Punct;
            token.text = std::string(1, Advance());
        } else {
            Fail(token, std::string("unexpected character '") + c + "'");
        }
        return token;
    }

    [[noreturn]] static void Fail(const Token &at, const std::string &why)
    {
        throw Error(std::to_string(at.line) + ":" + std::to_string(at.column) + ": " + why);
    }

private:
    char Advance()
    {
        char c = source_[pos_++];
        if (c == '\n') {
            ++line_;
            column_ = 1;
        } else {
            ++column_;
        }
        return c;
    }

    void SkipSpaceAndComments()
    {
        while (pos_ < source_.size()) {
            char c = source_[pos_];
            if (std::isspace(static_cast<unsigned char>(c))) {
                Advance();
            } else if (source_.substr(pos_, 2) == "//") {
                while (pos_ < source_.size() && source_[pos_] != '\n') {
                    Advance();
                }
            } else if (source_.substr(pos_, 2) == "/*") {
                Token at{TokenKind::End, {}, 0, line_, column_};
                Advance();
                Advance();
                while (source_.substr(pos_, 2) != "*/") {
                    if (pos_ >= source_.size()) {
                        Fail(at, "unterminated comment");
                    }
                    Advance();
                }
                Advance();
                Advance();
            } else {
                return;
            }
        }
    }

    static void AppendUtf8(std::string &out, std::uint32_t cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    std::string ReadString(const Token &at)
    {
        std::string out;
        Advance();  // opening quote
        for (;;) {
            if (pos_ >= source_.size() || source_[pos_] == '\n') {
                Fail(at, "unterminated string");
            }
            char c = Advance();
            if (c == '"') {
                return out;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= source_.size()) {
                Fail(at, "unterminated string");
            }
            char e = Advance();
            switch (e) {
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case '\'': out += '\''; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'x':
            case 'X': {
                std::uint32_t cp = 0;
                int digits = 0;
                while (digits < 4 && pos_ < source_.size() &&
                       std::isxdigit(static_cast<unsigned char>(source_[pos_]))) {
                    char h = Advance();
                    cp = cp * 16 + static_cast<std::uint32_t>(std::isdigit(static_cast<unsigned char>(h))
                                                                  ? h - '0'
                                                                  : std::tolower(h) - 'a' + 10);
                    ++digits;
                }
                if (digits == 0) {
                    Fail(at, "\\x without hex digits in string");
                }
                if (cp == 0) {
                    Fail(at, "\\x0 would end the string early");
                }
                if (cp >= 0xD800 && cp <= 0xDFFF) {
                    Fail(at, "\\x names a lone UTF-16 surrogate");
                }
                AppendUtf8(out, cp);
                break;
            }
            default: Fail(at, std::string("unknown escape '\\") + e + "' in string");
            }
        }
    }

    std::int64_t ReadInteger(const Token &at)
    {
        bool negative = false;
        if (source_[pos_] == '-' || source_[pos_] == '+') {
            negative = Advance() == '-';
        }
        int base = 10;
        if (source_.substr(pos_, 2) == "0x" || source_.substr(pos_, 2) == "0X") {
            Advance();
            Advance();
            base = 16;
        }
        std::string digits;
        while (pos_ < source_.size() && std::isalnum(static_cast<unsigned char>(source_[pos_]))) {
            digits += Advance();
        }
        if (digits.empty() || digits.size() > 16) {
            Fail(at, "malformed integer");
        }
        char *end = nullptr;
        unsigned long long magnitude = std::strtoull(digits.c_str(), &end, base);
        if (*end != '\0') {
            Fail(at, "malformed integer '" + digits + "'");
        }
        if (magnitude > static_cast<unsigned long long>(LLONG_MAX)) {
            Fail(at, "integer out of range");
        }
        auto value = static_cast<std::int64_t>(magnitude);
        return negative ? -value : value;
    }

    std::string_view source_;
    std::size_t pos_ = 0;
    int line_ = 1;
    int column_ = 1;
};

class Parser {
public:
    explicit Parser(std::string_view source) : lexer_(source) { Shift(); }

    std::vector<ClassDecl> Run()
    {
        std::vector<ClassDecl> classes;
        while (current_.kind != TokenKind::End) {
            if (current_.kind == TokenKind::Pragma) {
                ParsePragma();
                continue;
            }
            classes.push_back(ParseClass());
        }
        return classes;
    }

private:
    void Shift() { current_ = lexer_.Next(); }

    [[noreturn]] void Fail(const std::string &why) const { Lexer::Fail(current_, why); }

    bool IsPunct(char c) const { return current_.kind == TokenKind::Punct && current_.text[0] == c; }

    void Expect(char c)
    {
        if (!IsPunct(c)) {
            Fail(std::string("expected '") + c + "'" + Found());
        }
        Shift();
    }

    std::string Found() const
    {
        switch (current_.kind) {
        case TokenKind::End: return ", found the end of the input";
        case TokenKind::String: return ", found a string";
        case TokenKind::Integer: return ", found a number";
        default: return ", found '" + current_.text + "'";
        }
    }

    std::string ExpectIdentifier(const char *what)
    {
        if (current_.kind != TokenKind::Identifier) {
            Fail(std::string("expected ") + what + Found());
        }
        std::string text = current_.text;
        Shift();
        return text;
    }

    // Adjacent string literals concatenate, as in C.
    std::string ExpectString()
    {
        if (current_.kind != TokenKind::String) {
            Fail("expected a string" + Found());
        }
        std::string text;
        while (current_.kind == TokenKind::String) {
            text += current_.text;
            Shift();
        }
        return text;
    }

    void ParsePragma()
    {
        std::string name = current_.text;
        Shift();
        std::string argument;
        bool hasArgument = IsPunct('(');
        if (hasArgument) {
            Shift();
            if (current_.kind == TokenKind::String) {
                argument = ExpectString();
            } else {
                while (!IsPunct(')') && current_.kind != TokenKind::End) {
                    Shift();
                }
            }
            Expect(')');
        }
        if (EqualsIgnoreCase(name, "namespace")) {
            if (!hasArgument) {
                Fail("#pragma namespace needs a namespace in parentheses");
            }
            // "\\.\root\default" names the local machine's namespace; the
            // binary form stores the path below the machine.
            constexpr std::string_view kLocal = "\\\\.\\";
            if (argument.starts_with(kLocal)) {
                argument.erase(0, kLocal.size());
            }
            if (argument.empty()) {
                Fail("empty namespace");
            }
            nameSpace_ = argument;
        } else if (!EqualsIgnoreCase(name, "autorecover") && !EqualsIgnoreCase(name, "classflags")) {
            Fail("unsupported #pragma " + name);
        }
    }

    Value ParseValue()
    {
        if (current_.kind == TokenKind::String) {
            return ExpectString();
        }
        if (current_.kind == TokenKind::Integer) {
            std::int64_t v = current_.integer;
            if (v < INT32_MIN || v > static_cast<std::int64_t>(UINT32_MAX)) {
                Fail("integer value out of 32-bit range");
            }
            Shift();
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        }
        if (current_.kind == TokenKind::Identifier) {
            if (EqualsIgnoreCase(current_.text, "true") || EqualsIgnoreCase(current_.text, "false")) {
                bool v = EqualsIgnoreCase(current_.text, "true");
                Shift();
                return v;
            }
        }
        Fail("expected a string, integer or boolean value" + Found());
    }

    std::uint32_t ParseFlavors()
    {
        std::uint32_t flavor = 0;
        while (current_.kind == TokenKind::Identifier) {
            const std::string &word = current_.text;
            if (EqualsIgnoreCase(word, "ToInstance")) {
                flavor |= kFlavorToInstance;
            } else if (EqualsIgnoreCase(word, "ToSubclass")) {
                flavor |= kFlavorToSubclass;
            } else if (EqualsIgnoreCase(word, "DisableOverride")) {
                flavor |= kFlavorDisableOverride;
            } else if (EqualsIgnoreCase(word, "Amended")) {
                flavor |= kFlavorAmended;
            } else if (EqualsIgnoreCase(word, "EnableOverride") || EqualsIgnoreCase(word, "Restricted") ||
                       EqualsIgnoreCase(word, "NotToInstance") || EqualsIgnoreCase(word, "NotToSubclass")) {
                // The defaults: no bit to set.
            } else {
                Fail("unknown qualifier flavor '" + word + "'");
            }
            Shift();
        }
        return flavor;
    }

    std::vector<Qualifier> ParseQualifierList()
    {
        std::vector<Qualifier> list;
        if (!IsPunct('[')) {
            return list;
        }
        Shift();
        for (;;) {
            Qualifier q;
            q.name = ExpectIdentifier("a qualifier name");
            for (const Qualifier &seen : list) {
                if (EqualsIgnoreCase(seen.name, q.name)) {
                    Fail("qualifier '" + q.name + "' given twice");
                }
            }
            if (IsPunct('(')) {
                Shift();
                q.value = ParseValue();
                Expect(')');
            } else if (IsPunct('{')) {
                Fail("array-valued qualifiers are not supported");
            } else {
                q.value = true;
            }
            if (IsPunct(':')) {
                Shift();
                q.flavor = ParseFlavors();
            }
            list.push_back(std::move(q));
            if (IsPunct(']')) {
                Shift();
                return list;
            }
            Expect(',');
        }
    }

    Property ParseProperty(std::vector<Qualifier> qualifiers)
    {
        Property p;
        p.qualifiers = std::move(qualifiers);
        Token typeToken = current_;
        p.typeName = ExpectIdentifier("a property type");
        if (EqualsIgnoreCase(p.typeName, "object") || IsPunct('(')) {
            Lexer::Fail(typeToken, "object and reference properties are not supported");
        }
        std::optional<std::uint32_t> cimType = CimTypeOf(p.typeName);
        if (!cimType) {
            Lexer::Fail(typeToken, "unknown property type '" + p.typeName + "'");
        }
        p.name = ExpectIdentifier("a property name");
        if (IsPunct('(')) {
            Fail("methods are not supported");
        }
        if (p.name.starts_with("__")) {
            Fail("'" + p.name + "': names beginning with __ are reserved for system properties");
        }
        if (IsPunct('[')) {
            Shift();
            if (current_.kind == TokenKind::Integer) {
                if (current_.integer <= 0) {
                    Fail("array size must be positive");
                }
                Shift();  // a fixed size is documentation only
            }
            Expect(']');
            p.isArray = true;
        }
        if (IsPunct('=')) {
            Shift();
            if (p.isArray) {
                Fail("default values of array properties are not supported");
            }
            Value v = ParseValue();
            std::uint32_t type = *cimType;
            bool fits = (std::holds_alternative<std::string>(v) && type == 0x08) ||
                        (std::holds_alternative<bool>(v) && type == 0x0B) ||
                        (std::holds_alternative<std::int32_t>(v) && (type == 0x03 || type == 0x13));
            if (!fits) {
                Fail("default value of '" + p.name + "' does not match its type " + p.typeName +
                     " (defaults are supported for string, boolean, sint32 and uint32)");
            }
            p.defaultValue = std::move(v);
        }
        Expect(';');
        return p;
    }

    ClassDecl ParseClass()
    {
        ClassDecl c;
        c.nameSpace = nameSpace_;
        c.qualifiers = ParseQualifierList();
        if (current_.kind != TokenKind::Identifier || !EqualsIgnoreCase(current_.text, "class")) {
            if (current_.kind == TokenKind::Identifier && EqualsIgnoreCase(current_.text, "instance")) {
                Fail("instances are not supported");
            }
            Fail("expected 'class'" + Found());
        }
        Shift();
        c.name = ExpectIdentifier("a class name");
        if (IsPunct(':')) {
            Shift();
            c.superclass = ExpectIdentifier("a superclass name");
        }
        Expect('{');
        while (!IsPunct('}')) {
            if (current_.kind == TokenKind::End) {
                Fail("class '" + c.name + "' is not closed");
            }
            std::vector<Qualifier> qualifiers = ParseQualifierList();
            Property p = ParseProperty(std::move(qualifiers));
            for (const Property &seen : c.properties) {
                if (EqualsIgnoreCase(seen.name, p.name)) {
                    Fail("property '" + p.name + "' declared twice");
                }
            }
            c.properties.push_back(std::move(p));
        }
        Shift();
        Expect(';');
        return c;
    }

    Lexer lexer_;
    Token current_;
    std::string nameSpace_{kDefaultNamespace};
};

}  // namespace

std::optional<std::uint32_t> CimTypeOf(std::string_view typeName)
{
    for (const TypeEntry &entry : kTypes) {
        if (EqualsIgnoreCase(entry.name, typeName)) {
            return entry.cimType;
        }
    }
    return std::nullopt;
}

std::vector<ClassDecl> ParseMof(std::string_view source) { return Parser(source).Run(); }

}  // namespace vxbmof
