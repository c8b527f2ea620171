#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// "--help" and "--version" as the first argument: print the usage or the version and end.
// Called from main() before any application object exists, so nothing here needs Qt.
// Returns the exit code when the argument was one of the two (0, or 1 when the text could not
// be written), and nothing when the start routine is to go on: every other first argument
// keeps its meaning there, and later arguments are never looked at.
std::optional<int> handleInfoArgument(int argc, char **argv, std::FILE *out = stdout);

// The usage text; program is the name the program was started by (argv[0]).
std::string usageText(std::string_view program);

// "<name> <major>.<minor>.<patch>" and a line feed.
std::string versionText(std::string_view program);
