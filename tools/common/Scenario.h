// The scenario language of vxsim: one step per line.
//
//   # comment                       blank lines and comments are ignored
//   verb positional... key value... a step; words are separated by blanks,
//                                   "double quotes" keep blanks and may be ""
//   repeat N ... end                the steps between, N times (nested loops
//                                   are fine)
//
// Verbs, their positional arguments and the options each accepts are listed in
// kVerbs (Scenario.cpp) and described in docs/scenarios.md. Everything that
// can be checked without running is checked when the file is read: the
// verbs, the number of arguments, status names, numbers and their ranges.
#pragma once

#include "tools/common/Numbers.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vx {

struct Step {
    std::string file;  // where the step was written, for messages
    int line = 0;
    std::string verb;
    std::vector<std::string> args;
    std::map<std::string, std::string> options;  // "expect" -> "STATUS_SUCCESS", flags map to ""
    // repeat: the steps it repeats, args[0] times.
    std::vector<Step> body;

    bool Has(const std::string &key) const { return options.count(key) != 0; }
    std::optional<std::string> Option(const std::string &key) const;
    // "FILE:LINE: " for messages about this step.
    std::string Where() const;
    // The step as written, without its place: "read in 64K verify".
    std::string Text() const;
};

// A step that did not hold; the message starts with the step's place.
struct StepFailure {
    std::string message;
};

struct ScenarioError {
    std::string message;  // "FILE:LINE: what was expected"
};

// Parses a whole scenario. On the first error returns it instead of steps.
struct ParseResult {
    std::vector<Step> steps;
    std::optional<ScenarioError> error;
};
ParseResult ParseScenario(const std::string &text, const std::string &fileName);

// The largest values the steps take: 32-bit lengths and values, and a day
// of virtual time for `advance` and `idle within`.
inline constexpr unsigned long long kMaxLength = 0xFFFFFFFFull;
inline constexpr unsigned long long kMaxSeconds = 86400;

// A number argument of a step, checked against its range; throws
// StepFailure naming the step, what was expected and the range.
uint64_t StepNumber(const Step &step, const std::string &word, const char *what, unsigned long long max = ~0ull);

// Text for `vxsim help scenario`: every verb with its syntax.
std::string DescribeVerbs();

}  // namespace vx
