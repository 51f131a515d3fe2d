// The command line of the bed's programs (quorvane-bed, quorvane-card): getopt_long over one
// table, --help answered alike.
#pragma once

#include <functional>
#include <optional>
#include <span>

namespace bed {

// One option: its long name, whether it takes a value, and its short letter (or, for an option
// with a long name only, a code above the letters).
struct ToolOption {
    const char* name;
    bool takesValue;
    int code;
};

// What a program does with one option: `value` is nullptr for an option without one, and an
// option not in the table comes as '?' (after getopt's own line). It returns the status to end
// with, or nothing to go on.
using ApplyOption = std::function<std::optional<int>(int code, const char* value)>;

// Reads the options of argv with getopt_long, the short letters made from `table`; -h and
// --help print `usage` on standard output and end with 0. With `stopAtOperand` the first
// operand ends the options (what follows is a command's own). Returns the status to end with,
// or nothing, with optind at the first operand.
std::optional<int> ReadToolOptions(int argc, char** argv, std::span<const ToolOption> table,
                                   const char* usage, bool stopAtOperand, const ApplyOption& apply);

} // namespace bed
