#include "tools/common/Scenario.h"

#include "tools/common/Requests.h"
#include "tools/common/StatusNames.h"

#include <cctype>
#include <set>
#include <sstream>

namespace vx {
namespace {

std::string DescribeVerb(const std::string &verb);

// Checks a parsed step's arguments beyond their number; throws StepFailure.
using CheckFn = void (*)(const Step &);

struct VerbSyntax {
    const char *verb;
    int minArgs;
    int maxArgs;  // -1: any number
    std::set<std::string> valueOptions;
    std::set<std::string> flagOptions;
    const char *usage;
    CheckFn check = nullptr;
};

[[noreturn]] void Refuse(const Step &step, const std::string &what)
{
    throw StepFailure{step.Where() + what + "; usage: " + DescribeVerb(step.verb)};
}

void OneOf(const Step &step, const std::string &word, std::initializer_list<const char *> allowed)
{
    std::string list;
    for (const char *a : allowed) {
        if (word == a)
            return;
        list += std::string(list.empty() ? "" : ", ") + a;
    }
    Refuse(step, "expected one of " + list + ", found '" + word + "'");
}

void CheckLengthOptions(const Step &step)
{
    for (const char *key : {"bytes", "out", "info"})
        if (auto value = step.Option(key))
            (void)StepNumber(step, *value, key == std::string("out") ? "an output length" : "a byte count", kMaxLength);
}

void CheckPlug(const Step &step)
{
    OneOf(step, step.args[0], {"loopback", "source-sink", "file"});
    if ((step.args[0] == "file") != (step.args.size() == 2))
        Refuse(step, step.args[0] == "file" ? "plug file needs a path" : "only plug file takes a path");
}

void CheckTransfer(const Step &step)
{
    (void)StepNumber(step, step.args[1], "a size", kMaxLength);
    if (auto seed = step.Option("pattern"))
        (void)StepNumber(step, *seed, "a pattern seed");
    CheckLengthOptions(step);
    if (step.Has("async") != step.Has("as"))
        Refuse(step, "an asynchronous read is written 'async as NAME'");
    if (step.Has("async") && step.Has("verify"))
        Refuse(step, "an asynchronous read is verified by its 'wait'");
}

void CheckIoctl(const Step &step)
{
    if (!ControlCodeFromName(step.args[1]))
        Refuse(step, "'" + step.args[1] + "' is not a control code name or number");
    if (!ParseHexBytes(std::vector<std::string>(step.args.begin() + 2, step.args.end())))
        Refuse(step, "the input must be hex bytes such as 02 00 09 04");
    CheckLengthOptions(step);
}

void CheckWmi(const Step &step)
{
    OneOf(step, step.args[0], {"get", "set"});
    if (step.args[0] == "set" && step.args.size() != 3)
        Refuse(step, "wmi set needs a value");
    if (step.args.size() == 3)
        (void)StepNumber(step, step.args[2], "a 32-bit value", 0xFFFFFFFFull);
}

void CheckFault(const Step &step)
{
    const auto &a = step.args;
    if (a[0] == "pool-fail" && a.size() == 2) {
        (void)StepNumber(step, a[1], "an allocation count");
        return;
    }
    if (a[0] == "endpoint" && a.size() >= 3) {
        (void)StepNumber(step, a[1], "an endpoint address", 0xFF);
        OneOf(step, a[2], {"stall", "error", "nak", "short", "disconnect"});
        if ((a[2] == "short") != (a.size() == 4))
            Refuse(step, a[2] == "short" ? "'short' needs a byte count" : "only 'short' takes a byte count");
        if (a[2] == "short")
            (void)StepNumber(step, a[3], "a byte count", kMaxLength);
        return;
    }
    Refuse(step, "expected 'fault pool-fail N' or 'fault endpoint EP stall|error|nak|short N|disconnect'");
}

// One verb a line, as `vxsim help` lists them.
// clang-format off
const std::vector<VerbSyntax> kVerbs = {
    {"plug", 1, 2, {"as"}, {}, "plug loopback|source-sink|file PATH [as NAME]: plug a device in and start it",
     CheckPlug},
    {"open", 1, 2, {"expect"}, {},
     "open HANDLE [FILENAME] [expect STATUS]: open the device (no name) or a pipe (\"\\PIPE00\")"},
    {"close", 1, 1, {}, {}, "close HANDLE: clean up and close a handle"},
    {"write", 2, 2, {"expect", "pattern", "bytes"}, {}, "write HANDLE SIZE [pattern N] [expect STATUS] [bytes N]",
     CheckTransfer},
    {"read", 2, 2, {"expect", "bytes", "as"}, {"verify", "async"},
     "read HANDLE SIZE [verify] [async as NAME] [expect STATUS] [bytes N]", CheckTransfer},
    {"wait", 1, 1, {"expect", "bytes"}, {"verify"}, "wait NAME [expect STATUS] [bytes N] [verify]: end of an async read",
     CheckLengthOptions},
    {"cancel", 1, 1, {}, {}, "cancel HANDLE: cancel the handle's pending requests"},
    {"ioctl", 2, -1, {"out", "expect", "info"}, {"show"},
     "ioctl HANDLE CODE [HEX-BYTES...] [out N] [expect STATUS] [info N] [show]", CheckIoctl},
    {"pnp", 1, 1, {"expect"}, {},
     "pnp start|query-stop|cancel-stop|stop|query-remove|cancel-remove|remove|surprise-removal|rebalance|disable|enable",
     [](const Step &step) {
         OneOf(step, step.args[0],
               {"start", "query-stop", "cancel-stop", "stop", "query-remove", "cancel-remove", "remove",
                "surprise-removal", "rebalance", "disable", "enable"});
     }},
    {"sleep", 1, 1, {"expect"}, {}, "sleep S1|S2|S3|S4: put the system to sleep (query, then set)",
     [](const Step &step) { OneOf(step, step.args[0], {"S1", "S2", "S3", "S4"}); }},
    {"resume", 0, 0, {"expect"}, {}, "resume: bring the system back to S0"},
    {"remote-wake", 0, 0, {}, {}, "remote-wake: the device signals remote wake-up"},
    {"idle", 0, 0, {"within"}, {}, "idle [within SECONDS]: let the device idle until it is suspended (default 30 s)",
     [](const Step &step) {
         if (auto within = step.Option("within"))
             (void)StepNumber(step, *within, "seconds", kMaxSeconds);
     }},
    {"advance", 1, 1, {}, {}, "advance SECONDS: let virtual time pass",
     [](const Step &step) { (void)StepNumber(step, step.args[0], "seconds", kMaxSeconds); }},
    {"expect-power", 1, 1, {}, {}, "expect-power D0|D1|D2|D3: the device's power state now",
     [](const Step &step) { OneOf(step, step.args[0], {"D0", "D1", "D2", "D3"}); }},
    {"wmi", 2, 3, {"expect"}, {},
     "wmi get PROPERTY [VALUE] | wmi set PROPERTY VALUE [expect STATUS]: VALUE after get is the value expected",
     CheckWmi},
    {"parameter", 2, 2, {}, {},
     "parameter NAME VALUE: a DWORD under the driver's Parameters key, read when a device is added "
     "(VextoraEnable 1: selective suspend)",
     [](const Step &step) { (void)StepNumber(step, step.args[1], "a 32-bit value", 0xFFFFFFFFull); }},
    {"fault", 2, 4, {}, {}, "fault pool-fail N | fault endpoint EP stall|error|nak|short N|disconnect", CheckFault},
    {"unplug", 0, 0, {}, {}, "unplug: the device goes away (surprise removal, then removal when handles close)"},
    {"echo", 0, -1, {}, {}, "echo TEXT: print a line"},
    {"repeat", 1, 1, {}, {}, "repeat N ... end: the steps up to the matching 'end', N times",
     [](const Step &step) { (void)StepNumber(step, step.args[0], "a count"); }},
    {"end", 0, 0, {}, {}, "end: closes a repeat"},
};
// clang-format on

const VerbSyntax *FindVerb(const std::string &verb)
{
    for (const auto &v : kVerbs)
        if (verb == v.verb)
            return &v;
    return nullptr;
}

std::string DescribeVerb(const std::string &verb)
{
    const VerbSyntax *syntax = FindVerb(verb);
    return syntax ? syntax->usage : verb;
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

uint64_t StepNumber(const Step &step, const std::string &word, const char *what, unsigned long long max)
{
    auto value = ParseNumber(word);
    if (!value)
        throw StepFailure{step.Where() + "expected " + what + ", found '" + word + "'"};
    if (*value > max)
        throw StepFailure{step.Where() + "expected " + what + " of at most " + std::to_string(max) + ", found '" +
                          word + "'"};
    return *value;
}

std::string Step::Text() const
{
    auto quoted = [](const std::string &w) {
        return w.empty() || w.find_first_of(" \t#") != std::string::npos ? "\"" + w + "\"" : w;
    };
    std::string s = verb;
    for (const auto &a : args)
        s += " " + quoted(a);
    for (const auto &[key, value] : options)
        s += " " + key + (value.empty() ? "" : " " + quoted(value));
    return s;
}

ParseResult ParseScenario(const std::string &text, const std::string &fileName)
{
    ParseResult result;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    // The open repeats: each collects the steps up to its 'end'.
    std::vector<Step> open;
    auto fail = [&](const std::string &message) {
        result.error = ScenarioError{message};
        result.steps.clear();
        return result;
    };
    auto here = [&](const std::string &message) {
        return fail(fileName + ":" + std::to_string(number) + ": " + message);
    };
    while (std::getline(in, line)) {
        ++number;
        std::vector<std::string> words;
        std::string splitError;
        if (!SplitWords(line, words, splitError))
            return here(splitError);
        if (words.empty())
            continue;
        const VerbSyntax *syntax = FindVerb(words[0]);
        if (!syntax)
            return here("unknown step '" + words[0] + "'; expected one of the steps listed by 'vxsim help scenario'");
        Step step;
        step.file = fileName;
        step.line = number;
        step.verb = words[0];
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string &w = words[i];
            // The positional arguments a step needs come first: a handle
            // named "out" is not the option "out". (The first and last
            // branches both take an argument; the order of the tests decides.)
            // NOLINTNEXTLINE(bugprone-branch-clone)
            if (step.args.size() < static_cast<size_t>(syntax->minArgs)) {
                step.args.push_back(w);
            } else if (syntax->valueOptions.count(w)) {
                if (i + 1 >= words.size())
                    return here("'" + w + "' needs a value; usage: " + syntax->usage);
                if (step.options.count(w))
                    return here("'" + w + "' is given twice; usage: " + syntax->usage);
                step.options[w] = words[++i];
            } else if (syntax->flagOptions.count(w)) {
                step.options[w] = "";
            } else if (!step.options.empty() && step.verb != "ioctl" && step.verb != "echo") {
                return here("'" + w + "' after the options; usage: " + syntax->usage);
            } else {
                step.args.push_back(w);
            }
        }
        int n = static_cast<int>(step.args.size());
        if (n < syntax->minArgs || (syntax->maxArgs >= 0 && n > syntax->maxArgs))
            return here("wrong number of arguments for '" + step.verb + "'; usage: " + syntax->usage);
        try {
            if (auto expect = step.Option("expect"); expect && !StatusFromName(*expect))
                throw StepFailure{step.Where() + "'" + *expect +
                                  "' is not a status name or a hexadecimal NTSTATUS (see 'vxsim help statuses')"};
            if (syntax->check)
                syntax->check(step);
        } catch (const StepFailure &failure) {
            return fail(failure.message);
        }
        if (step.verb == "repeat") {
            open.push_back(std::move(step));
            continue;
        }
        if (step.verb == "end") {
            if (open.empty())
                return here("'end' without a 'repeat' before it");
            step = std::move(open.back());
            open.pop_back();
            // Nothing to repeat: N rounds of nothing would only spin.
            if (step.body.empty()) {
                number = step.line;
                return here("this 'repeat' holds no steps");
            }
        }
        (open.empty() ? result.steps : open.back().body).push_back(std::move(step));
    }
    if (!open.empty()) {
        number = open.back().line;
        return here("this 'repeat' has no 'end'");
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
