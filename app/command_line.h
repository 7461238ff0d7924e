#pragma once
// The command-line tail: what follows the program name and the blanks behind it.

namespace tarn {

// Skips the program name (in double quotes it may contain blanks; the closing quote is skipped
// too) and then every blank and control character. Blanks at the end stay part of the tail.
// Never returns null; a null command line has an empty tail.
const char* CommandLineTail(const char* commandLine);

// Only the exact eight bytes "-restart" count: no other letter case, nothing before or after.
bool IsRestartTail(const char* tail);

}  // namespace tarn
