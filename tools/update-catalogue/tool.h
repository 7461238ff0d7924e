#pragma once
// The publisher's catalogue tool: build, show, plan, stage and verify. main() only hands over its arguments.
#include <ostream>
#include <string>
#include <vector>

namespace tarn::tool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // refused, unreadable, or not written; the reason is on err
constexpr int kExitUsage = 2;

// Runs one command. args excludes the program name; paths in it are host paths (UTF-8 on
// POSIX, ANSI text on Windows). Results go to out, errors and warnings to err, both UTF-8.
// plan changes the process's current directory.
int RunTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tarn::tool
