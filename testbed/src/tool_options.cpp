// The command line of the bed's programs.
#include "tool_options.h"

#include <getopt.h>

#include <cstdio>
#include <string>
#include <vector>

namespace bed {

std::optional<int> ReadToolOptions(int argc, char** argv, std::span<const ToolOption> table,
                                   const char* usage, bool stopAtOperand,
                                   const ApplyOption& apply) {
    constexpr int kHelp = 'h';
    std::string letters = stopAtOperand ? "+" : "";
    std::vector<option> options;
    for (const ToolOption& row : table) {
        options.push_back(
            {row.name, row.takesValue ? required_argument : no_argument, nullptr, row.code});
        if (row.code < 256) {
            letters += static_cast<char>(row.code);
            if (row.takesValue)
                letters += ':';
        }
    }
    options.push_back({"help", no_argument, nullptr, kHelp});
    letters += static_cast<char>(kHelp);
    options.push_back({nullptr, 0, nullptr, 0});
    for (int c; (c = getopt_long(argc, argv, letters.c_str(), options.data(), nullptr)) != -1;) {
        if (c == kHelp) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (std::optional<int> status = apply(c, optarg))
            return status;
    }
    return std::nullopt;
}

} // namespace bed
