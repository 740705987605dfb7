// The scenario language of vxsim: one step per line.
//
//   # comment                       blank lines and comments are ignored
//   verb positional... key value... a step; words are separated by blanks,
//                                   "double quotes" keep blanks and may be ""
//
// Verbs, their positional arguments and the options each accepts are listed in
// kVerbs (Scenario.cpp) and described in docs/scenarios.md.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vx {

struct Step {
    std::string file;   // where the step was written, for messages
    int line = 0;
    std::string verb;
    std::vector<std::string> args;
    std::map<std::string, std::string> options;  // "expect" -> "STATUS_SUCCESS", flags map to ""

    bool Has(const std::string &key) const { return options.count(key) != 0; }
    std::optional<std::string> Option(const std::string &key) const;
    // "FILE:LINE: " for messages about this step.
    std::string Where() const;
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

// Helpers the engine uses to read arguments; each reports where it failed.
std::optional<unsigned long long> ParseNumber(const std::string &word);  // decimal, 0x hex, K/M suffix
std::optional<std::vector<unsigned char>> ParseHexBytes(const std::vector<std::string> &words);

// Text for `vxsim help scenario`: every verb with its syntax.
std::string DescribeVerbs();

}  // namespace vx
