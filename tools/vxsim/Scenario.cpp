#include "tools/vxsim/Scenario.h"

#include <cctype>
#include <set>
#include <sstream>

namespace vx {
namespace {

struct VerbSyntax {
    const char *verb;
    int minArgs;
    int maxArgs;  // -1: any number
    std::set<std::string> valueOptions;
    std::set<std::string> flagOptions;
    const char *usage;
};

const std::vector<VerbSyntax> kVerbs = {
    {"plug", 1, 2, {"as"}, {}, "plug loopback|source-sink|file PATH [as NAME]: plug a device in and start it"},
    {"open", 1, 2, {"expect"}, {}, "open HANDLE [FILENAME] [expect STATUS]: open the device (no name) or a pipe"},
    {"close", 1, 1, {}, {}, "close HANDLE: clean up and close a handle"},
    {"write", 2, 2, {"expect", "pattern", "bytes"}, {}, "write HANDLE SIZE [pattern N] [expect STATUS] [bytes N]"},
    {"read", 2, 2, {"expect", "bytes", "as"}, {"verify", "async"},
     "read HANDLE SIZE [verify] [async as NAME] [expect STATUS] [bytes N]"},
    {"wait", 1, 1, {"expect", "bytes"}, {"verify"}, "wait NAME [expect STATUS] [bytes N] [verify]: end of an async read"},
    {"cancel", 1, 1, {}, {}, "cancel HANDLE: cancel the handle's pending requests"},
    {"ioctl", 2, -1, {"out", "expect", "info"}, {"show"},
     "ioctl HANDLE CODE [HEX-BYTES...] [out N] [expect STATUS] [info N] [show]"},
    {"pnp", 1, 1, {"expect"}, {},
     "pnp start|query-stop|cancel-stop|stop|query-remove|cancel-remove|remove|surprise-removal|rebalance|disable|enable"},
    {"sleep", 1, 1, {"expect"}, {}, "sleep S1|S2|S3|S4: put the system to sleep (query, then set)"},
    {"resume", 0, 0, {"expect"}, {}, "resume: bring the system back to S0"},
    {"remote-wake", 0, 0, {}, {}, "remote-wake: the device signals remote wake-up"},
    {"idle", 0, 0, {"within"}, {}, "idle [within SECONDS]: let the device idle until it is suspended"},
    {"advance", 1, 1, {}, {}, "advance SECONDS: let virtual time pass"},
    {"expect-power", 1, 1, {}, {}, "expect-power D0|D1|D2|D3: the device's power state now"},
    {"wmi", 2, 3, {"expect"}, {}, "wmi get PROPERTY [VALUE] | wmi set PROPERTY VALUE [expect STATUS]: VALUE after get is the value expected"},
    {"fault", 1, -1, {}, {}, "fault pool-fail N | fault endpoint EP stall|error|nak|short N|disconnect"},
    {"unplug", 0, 0, {}, {}, "unplug: the device goes away (surprise removal, then removal when handles close)"},
    {"echo", 0, -1, {}, {}, "echo TEXT: print a line"},
};

const VerbSyntax *FindVerb(const std::string &verb)
{
    for (const auto &v : kVerbs)
        if (verb == v.verb)
            return &v;
    return nullptr;
}

// Splits a line into words; "quoted words" keep blanks, "" is an empty word.
bool SplitWords(const std::string &line, std::vector<std::string> &words, std::string &error)
{
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i >= line.size() || line[i] == '#')
            break;
        std::string word;
        if (line[i] == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string::npos) {
                error = "a quoted word that is not closed";
                return false;
            }
            word = line.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
                word += line[i++];
        }
        words.push_back(word);
    }
    return true;
}

}  // namespace

std::optional<std::string> Step::Option(const std::string &key) const
{
    auto it = options.find(key);
    if (it == options.end())
        return std::nullopt;
    return it->second;
}

std::string Step::Where() const { return file + ":" + std::to_string(line) + ": "; }

std::optional<unsigned long long> ParseNumber(const std::string &word)
{
    if (word.empty())
        return std::nullopt;
    std::string digits = word;
    unsigned long long scale = 1;
    char last = digits.back();
    if (last == 'K' || last == 'k') {
        scale = 1024;
        digits.pop_back();
    } else if (last == 'M' || last == 'm') {
        scale = 1024 * 1024;
        digits.pop_back();
    }
    if (digits.empty())
        return std::nullopt;
    int base = 10;
    size_t start = 0;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        start = 2;
    }
    unsigned long long value = 0;
    for (size_t i = start; i < digits.size(); ++i) {
        int d;
        char c = digits[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        if (value > (~0ull - d) / base)
            return std::nullopt;
        value = value * base + d;
    }
    if (scale != 1 && value > ~0ull / scale)
        return std::nullopt;
    return value * scale;
}

std::optional<std::vector<unsigned char>> ParseHexBytes(const std::vector<std::string> &words)
{
    std::vector<unsigned char> bytes;
    for (const auto &w : words) {
        if (w.size() != 2 || !std::isxdigit(static_cast<unsigned char>(w[0])) ||
            !std::isxdigit(static_cast<unsigned char>(w[1])))
            return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(std::stoul(w, nullptr, 16)));
    }
    return bytes;
}

ParseResult ParseScenario(const std::string &text, const std::string &fileName)
{
    ParseResult result;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    auto fail = [&](const std::string &message) {
        result.error = ScenarioError{fileName + ":" + std::to_string(number) + ": " + message};
        result.steps.clear();
        return result;
    };
    while (std::getline(in, line)) {
        ++number;
        std::vector<std::string> words;
        std::string splitError;
        if (!SplitWords(line, words, splitError))
            return fail(splitError);
        if (words.empty())
            continue;
        const VerbSyntax *syntax = FindVerb(words[0]);
        if (!syntax)
            return fail("unknown step '" + words[0] + "'; expected one of the steps listed by 'vxsim help scenario'");
        Step step;
        step.file = fileName;
        step.line = number;
        step.verb = words[0];
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string &w = words[i];
            if (syntax->valueOptions.count(w)) {
                if (i + 1 >= words.size())
                    return fail("'" + w + "' needs a value; usage: " + syntax->usage);
                step.options[w] = words[++i];
            } else if (syntax->flagOptions.count(w)) {
                step.options[w] = "";
            } else if (!step.options.empty() && step.verb != "ioctl" && step.verb != "fault" && step.verb != "echo") {
                return fail("'" + w + "' after the options; usage: " + syntax->usage);
            } else {
                step.args.push_back(w);
            }
        }
        int n = static_cast<int>(step.args.size());
        if (n < syntax->minArgs || (syntax->maxArgs >= 0 && n > syntax->maxArgs))
            return fail("wrong number of arguments for '" + step.verb + "'; usage: " + syntax->usage);
        result.steps.push_back(std::move(step));
    }
    return result;
}

std::string DescribeVerbs()
{
    std::string s;
    for (const auto &v : kVerbs)
        s += std::string("  ") + v.usage + "\n";
    return s;
}

}  // namespace vx
