#include <gtest/gtest.h>

#include <string>

#include "app/command_line.h"

namespace tarn {
namespace {

struct TailCase {
    const char* commandLine;
    const char* tail;
};

// How the tail is cut from the whole command line.
TEST(AppCommandLineTail, CutsAfterProgramNameAndLeadingBlanks) {
    const TailCase cases[] = {
        {"", ""},
        {"updater.exe", ""},
        {"updater.exe -restart", "-restart"},
        {"updater.exe    -restart", "-restart"},
        {"updater.exe\t\t-restart", "-restart"},
        {"updater.exe \x01\x1f -restart", "-restart"},  // control characters count as blanks
        {"updater.exe -restart ", "-restart "},         // blanks at the end stay
        {"updater.exe -restart x", "-restart x"},
        {"updater.exe  ", ""},
        {"\"C:\\Program Files\\Tarn\\updater.exe\" -restart", "-restart"},
        {"\"C:\\Program Files\\Tarn\\updater.exe\"-restart", "-restart"},  // nothing needed after the quote
        {"\"C:\\a b\\updater.exe\"", ""},
        {"\"unterminated quote -restart", ""},                                       // the quote swallows the rest
        {"C:\\Program Files\\updater.exe -restart", "Files\\updater.exe -restart"},  // unquoted blank ends the name
        {"\"\" -restart", "-restart"},
        {"\"C:\\피마\\업데이트.exe\" -restart", "-restart"},  // CP949 bytes inside the name
        {"C:\\피마\\업데이트.exe -restart", "-restart"},
    };
    for (const TailCase& c : cases) EXPECT_STREQ(CommandLineTail(c.commandLine), c.tail) << "[" << c.commandLine << "]";
}

TEST(AppCommandLineTail, NullCommandLineHasEmptyTail) {
    EXPECT_STREQ(CommandLineTail(nullptr), "");
}

TEST(AppCommandLineTail, TailPointsIntoTheCommandLine) {
    const char* line = "a.exe -restart";
    EXPECT_EQ(CommandLineTail(line), line + 6);
}

// Only the exact eight bytes are the restart argument.
TEST(AppRestartTail, OnlyTheExactEightBytesCount) {
    EXPECT_TRUE(IsRestartTail("-restart"));
    const char* notRestart[] = {"",        "-Restart", "-RESTART", "-restart ", " -restart", "-restart x",
                                "restart", "/restart", "-restar",  "--restart", "-restart\t"};
    for (const char* t : notRestart) EXPECT_FALSE(IsRestartTail(t)) << "[" << t << "]";
    EXPECT_FALSE(IsRestartTail(nullptr));
    // An embedded NUL ends the text: what follows it is not part of the tail.
    const char withNul[] = "-restart\0x";
    EXPECT_TRUE(IsRestartTail(withNul));
}

TEST(AppRestartTail, WholeCommandLines) {
    EXPECT_TRUE(IsRestartTail(CommandLineTail("\"Z:\\t\\TarnFileUpdater.exe\" -restart")));
    EXPECT_TRUE(IsRestartTail(CommandLineTail("TarnFileUpdater.exe     -restart")));
    EXPECT_FALSE(IsRestartTail(CommandLineTail("TarnFileUpdater.exe -restart ")));
    EXPECT_FALSE(IsRestartTail(CommandLineTail("TarnFileUpdater.exe -Restart")));
    EXPECT_FALSE(IsRestartTail(CommandLineTail("TarnFileUpdater.exe")));
    EXPECT_FALSE(IsRestartTail(CommandLineTail("-restart")));  // that is the program name
}

}  // namespace
}  // namespace tarn
