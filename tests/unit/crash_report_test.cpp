#include "crash/crash_report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crash_fake_platform.h"

namespace tarn {
namespace {

using test::FakeCrashPlatform;
using test::RecordingReportFile;

const char kExe[] = "C:\\Program Files\\Tarn\\TarnFileUpdater.exe";

// ---- ReportPrintf: one write per piece, exact bytes, line ends kept --------------------------

TEST(CrashReportPrintf, WritesEachPieceOnceWithoutTerminator) {
    RecordingReportFile file;
    ReportPrintf(file, "%s in module %s at %04x:%08x.\r\n", "an Access Violation", "a.exe", 0x1bu, 0x401000u);
    ReportPrintf(file, "%02x ", 0x8bu);
    ASSERT_EQ(file.pieces.size(), 2u);
    EXPECT_EQ(file.pieces[0], "an Access Violation in module a.exe at 001b:00401000.\r\n");
    EXPECT_EQ(file.pieces[1], "8b ");
    EXPECT_EQ(file.Text().find('\0'), std::string::npos);
}

TEST(CrashReportPrintf, OverlongLineIsCutVisiblyAndKeepsItsLineEnd) {
    RecordingReportFile file;
    const std::string longText(1500, 'x');
    ReportPrintf(file, "%s %d %s\r\n", longText.c_str(), 7, "name");
    ASSERT_EQ(file.pieces.size(), 1u);
    const std::string& piece = file.pieces[0];
    EXPECT_EQ(piece.size(), kReportPieceLimit);
    EXPECT_EQ(piece.substr(piece.size() - 5), "...\r\n");
    EXPECT_EQ(piece.find('\0'), std::string::npos);
}

TEST(CrashReportPrintf, OverlongPieceWithoutLineEndIsOnlyCut) {
    RecordingReportFile file;
    const std::string longText(1500, 'y');
    ReportPrintf(file, "%s", longText.c_str());
    ASSERT_EQ(file.pieces.size(), 1u);
    EXPECT_EQ(file.pieces[0], std::string(kReportPieceLimit, 'y'));
}

TEST(CrashReportPrintf, CutNeverSplitsADoubleByteCharacter) {
    RecordingReportFile file;
    // One single byte, then double-byte characters: an even cut point falls inside one.
    std::string text = "a";
    for (int i = 0; i < 700; ++i) text += "\xC7\xD1";
    ReportPrintf(file, "%s\r\n", text.c_str());
    const std::string& piece = file.pieces.at(0);
    ASSERT_LE(piece.size(), kReportPieceLimit);
    const std::string body = piece.substr(0, piece.size() - 5);
    EXPECT_EQ(body.size() % 2, 1u) << "the cut landed inside a character";
    EXPECT_EQ(piece.substr(piece.size() - 5), "...\r\n");
}

TEST(CrashReportPrintf, PieceOfExactlyTheLimitIsUntouched) {
    RecordingReportFile file;
    const std::string text(kReportPieceLimit - 2, 'z');
    ReportPrintf(file, "%s\r\n", text.c_str());
    EXPECT_EQ(file.pieces.at(0), text + "\r\n");
}

// ---- DescribeExceptionCode -------------------------------------------------------------------

TEST(CrashDescribeExceptionCode, EveryRowOfTheTable) {
    const struct {
        uint32_t code;
        const char* text;
    } rows[] = {
        {0x40010005u, "a Control-C"},
        {0x40010008u, "a Control-Break"},
        {0x80000002u, "a Datatype Misalignment"},
        {0x80000003u, "a Breakpoint"},
        {0xC0000005u, "an Access Violation"},
        {0xC0000006u, "an In Page Error"},
        {0xC0000017u, "a No Memory"},
        {0xC000001Du, "an Illegal Instruction"},
        {0xC0000025u, "a Noncontinuable Exception"},
        {0xC0000026u, "an Invalid Disposition"},
        {0xC000008Cu, "a Array Bounds Exceeded"},
        {0xC000008Du, "a Float Denormal Operand"},
        {0xC000008Eu, "a Float Divide by Zero"},
        {0xC000008Fu, "a Float Inexact Result"},
        {0xC0000090u, "a Float Invalid Operation"},
        {0xC0000091u, "a Float Overflow"},
        {0xC0000092u, "a Float Stack Check"},
        {0xC0000093u, "a Float Underflow"},
        {0xC0000094u, "an Integer Divide by Zero"},
        {0xC0000095u, "an Integer Overflow"},
        {0xC0000096u, "a Privileged Instruction"},
        {0xC00000FDu, "a Stack Overflow"},
        {0xC0000142u, "a DLL Initialization Failed"},
        {0xE06D7363u, "a Microsoft C++ Exception"},
    };
    for (const auto& row : rows) EXPECT_STREQ(DescribeExceptionCode(row.code), row.text) << std::hex << row.code;
}

TEST(CrashDescribeExceptionCode, CodesOutsideTheTableAreUnknown) {
    for (uint32_t code : {0u, 0x40010006u, 0xC0000004u, 0xC00000FCu, 0xE0000001u, 0xE06D7364u, 0xFFFFFFFFu})
        EXPECT_STREQ(DescribeExceptionCode(code), "Unknown exception type") << std::hex << code;
}

// ---- The access-violation line -----------------------------------------------------------------

std::string AccessLine(uint32_t code, uint32_t count, uint64_t p0, uint64_t p1) {
    RecordingReportFile file;
    WriteAccessViolationLine(file, CrashException{code, count, {p0, p1}});
    return file.Text();
}

TEST(CrashAccessViolationLine, ReadAndWriteByFirstParameter) {
    EXPECT_EQ(AccessLine(0xC0000005u, 2, 0, 0x1234), "Read from location 00001234 caused an access violation.\r\n");
    EXPECT_EQ(AccessLine(0xC0000005u, 2, 1, 0x10), "Write to location 00000010 caused an access violation.\r\n");
    // Data-execution prevention reports 8; anything but 0 is a write.
    EXPECT_EQ(AccessLine(0xC0000005u, 2, 8, 0x00401000), "Write to location 00401000 caused an access violation.\r\n");
}

TEST(CrashAccessViolationLine, NeedsTheCodeAndTwoParameters) {
    EXPECT_EQ(AccessLine(0xC0000005u, 1, 1, 0x10), "");
    EXPECT_EQ(AccessLine(0xC0000005u, 0, 0, 0), "");
    EXPECT_EQ(AccessLine(0xC0000006u, 2, 0, 0x10), "");
}

TEST(CrashAccessViolationLine, WideAddressPrintsInFull) {
    EXPECT_EQ(AccessLine(0xC0000005u, 2, 0, 0x7ff612345678ull),
              "Read from location 7ff612345678 caused an access violation.\r\n");
}

// ---- System information ----------------------------------------------------------------------

TEST(CrashSystemInfo, ThreeLines) {
    FakeCrashPlatform p;
    p.AddModule(p.exeBase, 0x10000, kExe);
    RecordingReportFile file;
    WriteSystemInfo(file, p);
    EXPECT_EQ(file.Text(),
              std::string(kExe) + ", run by tester.\r\n2 processor(s), type 586.\r\n512 MBytes physical memory.\r\n");
    EXPECT_EQ(file.pieces.size(), 3u);
}

TEST(CrashSystemInfo, MissingPathAndUserAreUnknown) {
    FakeCrashPlatform p;
    p.userName.clear();
    RecordingReportFile file;
    WriteSystemInfo(file, p);
    EXPECT_EQ(file.pieces.at(0), "Unknown, run by Unknown.\r\n");
}

TEST(CrashSystemInfo, MemoryCountsAStartedMebibyteAsOne) {
    const struct {
        uint64_t bytes;
        const char* line;
    } cases[] = {
        {(1ull << 20) + 1, "2 MBytes physical memory.\r\n"},
        {1ull << 20, "1 MBytes physical memory.\r\n"},
        {(1ull << 20) - 1, "1 MBytes physical memory.\r\n"},
        {0, "0 MBytes physical memory.\r\n"},
        // What the system reports for 4 GiB or more; a 32-bit sum would wrap to 0.
        {0xFFFFFFFFull, "4096 MBytes physical memory.\r\n"},
    };
    for (const auto& c : cases) {
        FakeCrashPlatform p;
        p.physicalMemory = c.bytes;
        RecordingReportFile file;
        WriteSystemInfo(file, p);
        EXPECT_EQ(file.pieces.at(2), c.line) << c.bytes;
    }
}

// ---- Stack dump --------------------------------------------------------------------------------

std::string DumpLine(uint64_t address) {
    std::string line;
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%08llx:", static_cast<unsigned long long>(address));
    line = buf;
    for (int i = 0; i < 8; ++i) {
        std::snprintf(buf, sizeof(buf), " %08x", 0xA0000000u | static_cast<uint32_t>((address + 4 * i) & 0xFFFF));
        line += buf;
    }
    return line + "\r\n";
}

std::string DumpLines(uint64_t from, uint64_t to) {
    std::string all;
    for (uint64_t a = from; a < to; a += 32) all += DumpLine(a);
    return all;
}

struct CrashStackDump : ::testing::Test {
    FakeCrashPlatform p;
    RecordingReportFile file;
    StackDumpState state{0x0012fe60, 0x00130000};
    void SetUp() override { p.MapStack(0x0012f000, 0x00130000); }
};

TEST_F(CrashStackDump, FirstDumpIsFiveLinesOfEightWords) {
    DumpStackRange(file, p, state, 0x0012fe60, 0x0012fe60 + 160);
    EXPECT_EQ(file.Text(), DumpLines(0x0012fe60, 0x0012ff00));
    EXPECT_EQ(file.pieces.size(), 5u);
    EXPECT_EQ(file.pieces[0].size(), 81u + 2u);
    EXPECT_EQ(state.cursor, 0x0012ff00u);
}

TEST_F(CrashStackDump, EndsAtTheStackBase) {
    state.cursor = 0x0012ffa0;  // ESP less than 160 bytes below the base
    DumpStackRange(file, p, state, 0x0012ffa0, 0x0012ffa0 + 160);
    EXPECT_EQ(file.Text(), DumpLines(0x0012ffa0, 0x00130000));
    EXPECT_EQ(p.faults.size(), 0u) << "read at or past the stack base";
}

TEST_F(CrashStackDump, RangeAtOrBelowTheCursorAddsNothing) {
    state.cursor = 0x0012ff40;
    DumpStackRange(file, p, state, 0x0012ff00, 0x0012ff2c);
    DumpStackRange(file, p, state, 0x0012ff20, 0x0012ff40);
    EXPECT_EQ(file.Text(), "");
    EXPECT_EQ(state.cursor, 0x0012ff40u);
}

TEST_F(CrashStackDump, FrameJustAboveTheCursorContinuesWithoutRepeats) {
    state.cursor = 0x0012ff00;
    // Frame pointer 0x12ff10: low 0x12fef0 is below the cursor, so the dump goes on from it.
    DumpStackRange(file, p, state, 0x0012fef0, 0x0012ff1c);
    EXPECT_EQ(file.Text(), DumpLines(0x0012ff00, 0x0012ff20));
}

TEST_F(CrashStackDump, FrameFarAboveSkipsTheGapClearedToALine) {
    state.cursor = 0x0012fe00;
    // Frame pointer 0x12ff54: low 0x12ff34 is cleared to 0x12ff20; high 0x12ff60 is a line end.
    DumpStackRange(file, p, state, 0x0012ff34, 0x0012ff60);
    EXPECT_EQ(file.Text(), DumpLines(0x0012ff20, 0x0012ff60));
}

TEST_F(CrashStackDump, HighIsRaisedToTheNextLine) {
    state.cursor = 0x0012ff00;
    DumpStackRange(file, p, state, 0x0012ff00, 0x0012ff21);
    EXPECT_EQ(file.Text(), DumpLines(0x0012ff00, 0x0012ff40));
}

TEST_F(CrashStackDump, FaultMidLineDropsThePartialLineAndLowersTheLimit) {
    p.Unmap(0x0012ff4c, 4);
    state.cursor = 0x0012ff00;
    DumpStackRange(file, p, state, 0x0012ff00, 0x0012ff80);
    EXPECT_EQ(file.Text(), DumpLines(0x0012ff00, 0x0012ff40) + "Exception encountered during stack dump\r\n");
    EXPECT_EQ(state.limit, 0x0012ff4cu);
    EXPECT_EQ(state.cursor, 0x0012ff4cu);

    // The lowered limit holds for the rest of the report: nothing more, and no further reads.
    const size_t readsBefore = p.reads;
    DumpStackRange(file, p, state, 0x0012ff20, 0x0012ff48);  // high below the limit, its line end above
    DumpStackRange(file, p, state, 0x0012ff50, 0x0012ff5c);  // low inside the faulting line
    DumpStackRange(file, p, state, 0x0012ff60, 0x0012ff8c);
    EXPECT_EQ(file.pieces.size(), 3u);
    EXPECT_EQ(p.reads, readsBefore);
}

TEST_F(CrashStackDump, FaultOnTheFirstWordWritesOnlyTheMessage) {
    state.cursor = 0x0012ff00;
    p.Unmap(0x0012ff00, 4);
    DumpStackRange(file, p, state, 0x0012ff00, 0x0012ff20);
    EXPECT_EQ(file.Text(), "Exception encountered during stack dump\r\n");
    EXPECT_EQ(state.limit, 0x0012ff00u);
}

// ---- Module line -------------------------------------------------------------------------------

struct CrashModuleLine : ::testing::Test {
    FakeCrashPlatform p;
    RecordingReportFile file;
    void SetUp() override { p.AddModule(p.exeBase, 0x20000, kExe); }
    std::string Line() {
        WriteModuleLine(file, p, p.exeBase);
        return file.Text();
    }
};

TEST_F(CrashModuleLine, LinkTimeInKoreaStandardTimeWithTwoDigitYear) {
    p.MapImageHeader(p.exeBase, 0x4A2B3C4Du);  // 2009-06-07 04:04:29 UTC
    EXPECT_EQ(Line(), std::string(kExe) + ", loaded at 0x00400000 - 09/06/07 13:04:29 (KR)\r\n");
}

TEST_F(CrashModuleLine, NineHoursLaterCrossesIntoTheNextDayAndYear) {
    p.MapImageHeader(p.exeBase, 946677600u);  // 1999-12-31 22:00:00 UTC
    EXPECT_EQ(Line(), std::string(kExe) + ", loaded at 0x00400000 - 00/01/01 07:00:00 (KR)\r\n");
}

TEST_F(CrashModuleLine, HeaderAtAnotherOffset) {
    p.MapImageHeader(p.exeBase, 0, 0xF8);
    EXPECT_EQ(Line(), std::string(kExe) + ", loaded at 0x00400000 - 70/01/01 09:00:00 (KR)\r\n");
}

TEST_F(CrashModuleLine, NothingWithoutMzSignature) {
    p.MapImageHeader(p.exeBase, 0x4A2B3C4Du);
    p.MapBytes(p.exeBase, {'Z', 'M'});
    EXPECT_EQ(Line(), "");
}

TEST_F(CrashModuleLine, NothingWithoutPeSignature) {
    p.MapImageHeader(p.exeBase, 0x4A2B3C4Du);
    p.MapWord(p.exeBase + 0x80, 0x00014550u);
    EXPECT_EQ(Line(), "");
}

TEST_F(CrashModuleLine, NothingWhenTheHeaderCannotBeRead) {
    p.MapImageHeader(p.exeBase, 0x4A2B3C4Du);
    p.Unmap(p.exeBase + 0x88, 4);  // the link time
    EXPECT_EQ(Line(), "");
    p.MapBytes(p.exeBase, {'M', 'Z'});
    p.MapWord(p.exeBase + 0x3C, 0x7FFFFFF0u);  // header offset into unmapped memory
    EXPECT_EQ(Line(), "");
}

TEST_F(CrashModuleLine, NothingForAModuleWithoutName) {
    p.MapImageHeader(0x10000000, 0x4A2B3C4Du);
    WriteModuleLine(file, p, 0x10000000);
    EXPECT_EQ(file.Text(), "");
}

// ---- Calendar split --------------------------------------------------------------------------

TEST(CrashCalendar, SplitsUtcSeconds) {
    const struct {
        int64_t seconds;
        CalendarTime t;
    } cases[] = {
        {0, {1970, 1, 1, 0, 0, 0}},
        {951782400, {2000, 2, 29, 0, 0, 0}},
        {1236398400, {2009, 3, 7, 4, 0, 0}},
        {4294967295ll, {2106, 2, 7, 6, 28, 15}},
        {4294967295ll + 32400, {2106, 2, 7, 15, 28, 15}},
    };
    for (const auto& c : cases) {
        const CalendarTime t = SplitUtcSeconds(c.seconds);
        EXPECT_EQ(t.year, c.t.year) << c.seconds;
        EXPECT_EQ(t.month, c.t.month) << c.seconds;
        EXPECT_EQ(t.day, c.t.day) << c.seconds;
        EXPECT_EQ(t.hour, c.t.hour) << c.seconds;
        EXPECT_EQ(t.minute, c.t.minute) << c.seconds;
        EXPECT_EQ(t.second, c.t.second) << c.seconds;
    }
}

// ---- Report paths ------------------------------------------------------------------------------

TEST(CrashReportPath, ReplacesTheExecutableName) {
    char out[kReportPathSize];
    BuildReportPath("C:\\Games\\Tarn\\TarnFileUpdater.exe", true, "Exception.txt", out, sizeof(out));
    EXPECT_STREQ(out, "C:\\Games\\Tarn\\Exception.txt");
    // Hangul folder names in CP949 pass through byte for byte.
    BuildReportPath("C:\\\xC7\xC7\xB8\xB6\\TarnFileUpdater.exe", true, "Exception.dmp", out, sizeof(out));
    EXPECT_STREQ(out, "C:\\\xC7\xC7\xB8\xB6\\Exception.dmp");
}

TEST(CrashReportPath, NoBackslashGivesTheBareName) {
    char out[kReportPathSize];
    BuildReportPath("TarnFileUpdater.exe", true, "Exception.txt", out, sizeof(out));
    EXPECT_STREQ(out, "Exception.txt");
    BuildReportPath("", true, "Exception.txt", out, sizeof(out));
    EXPECT_STREQ(out, "Exception.txt");
}

TEST(CrashReportPath, CutExecutablePathGivesTheBareName) {
    char out[kReportPathSize];
    BuildReportPath("C:\\very\\long\\fold", false, "Exception.txt", out, sizeof(out));
    EXPECT_STREQ(out, "Exception.txt");
}

TEST(CrashReportPath, FolderThatLeavesNoRoomNeverOverrunsEitherPath) {
    struct {
        char report[kReportPathSize];
        char dump[kReportPathSize];
        char guard[8];
    } paths;
    std::memset(&paths, '#', sizeof(paths));
    // 250-byte folder: folder + "Exception.txt" needs 264 bytes with its terminator.
    std::string exe = "C:\\" + std::string(246, 'f') + "\\a.exe";
    ASSERT_EQ(exe.size(), 255u);
    BuildReportPath(exe.c_str(), true, "Exception.txt", paths.report, sizeof(paths.report));
    EXPECT_STREQ(paths.report, "Exception.txt");
    EXPECT_EQ(paths.dump[0], '#');
    BuildReportPath(exe.c_str(), true, "Exception.dmp", paths.dump, sizeof(paths.dump));
    EXPECT_STREQ(paths.report, "Exception.txt");
    EXPECT_STREQ(paths.dump, "Exception.dmp");
    EXPECT_EQ(std::string(paths.guard, 8), "########");
}

TEST(CrashReportPath, PathThatJustFitsIsKept) {
    char out[kReportPathSize];
    // Folder of 246 bytes + 13-byte name = 259 bytes of text.
    const std::string folder = "C:\\" + std::string(242, 'g') + "\\";
    ASSERT_EQ(folder.size(), 246u);
    BuildReportPath((folder + "x.exe").c_str(), true, "Exception.txt", out, sizeof(out));
    EXPECT_EQ(std::string(out), folder + "Exception.txt");
}

// ---- The whole report ---------------------------------------------------------------------------

struct CrashWholeReport : ::testing::Test {
    FakeCrashPlatform p;
    RecordingReportFile file;
    StackDumpState state{0, 0};
    CrashRegisters regs{};
    CrashException exception{0xC0000005u, 2, {1, 0x10}};
    const int64_t startTime = 1236398400;  // 2009-03-07 04:00:00 UTC, 13:00 in the fake's zone

    void SetUp() override {
        p.AddModule(p.exeBase, 0x20000, kExe);
        p.MapImageHeader(p.exeBase, 0x4A2B3C4Du);
        p.MapBytes(0x00401a2c, {0x8b, 0x45, 0x08, 0xc7, 0x00, 0x01, 0x00, 0x00, 0x00, 0x5d, 0xc3, 0x90});
        p.MapStack(0x0012f000, 0x00130000);
        p.MapWord(0x0012ff20, 0x0012ff60);  // saved frame pointer
        p.MapWord(0x0012ff24, 0x00402000);  // return address
        p.MapWord(0x0012ff60, 0x00000000);  // end of the chain
        p.MapWord(0x0012ff64, 0x00403000);
        regs.eax = 0x00000010;
        regs.ebx = 0x7ffd8000;
        regs.ecx = 0x0012ff44;
        regs.edx = 0x00000001;
        regs.esi = 0x00405038;
        regs.edi = 0x0012ff7c;
        regs.ebp = 0x0012ff20;
        regs.esp = 0x0012fe64;
        regs.eip = 0x00401a2c;
        regs.eflags = 0x00010246;
        regs.cs = 0x1b;
        regs.ss = regs.ds = regs.es = 0x23;
        regs.fs = 0x3b;
        regs.gs = 0;
    }
};

TEST_F(CrashWholeReport, EverySectionForAFixedContext) {
    WriteReportSections(file, p, exception, regs, startTime, state);
    const std::string exe = kExe;
    const std::string expected =
        "[6f4 2009/03/07 14:05:09]: ======================= first excpetion\r\n"
        "start at 09/03/07 13:00:00\r\n" +
        exe + ", run by tester.\r\n" +
        "2 processor(s), type 586.\r\n"
        "512 MBytes physical memory.\r\n"
        "an Access Violation in module TarnFileUpdater.exe at 001b:00401a2c.\r\n"
        "Write to location 00000010 caused an access violation.\r\n"
        "\r\n"
        "Registers:\r\n"
        "EAX=00000010 CS=001b EIP=00401a2c EFLGS=00010246\r\n"
        "EBX=7ffd8000 SS=0023 ESP=0012fe64 EBP=0012ff20\r\n"
        "ECX=0012ff44 DS=0023 ESI=00405038 FS=003b\r\n"
        "EDX=00000001 ES=0023 EDI=0012ff7c GS=0000\r\n"
        "\r\n"
        "Bytes at CS:EIP:\r\n"
        "8b 45 08 c7 00 01 00 00 00 5d c3 90 ?? ?? ?? ?? \r\n"
        "\r\n"
        "Stack dump:\r\n"
        "0012fe60: a000fe60 a000fe64 a000fe68 a000fe6c a000fe70 a000fe74 a000fe78 a000fe7c\r\n"
        "0012fe80: a000fe80 a000fe84 a000fe88 a000fe8c a000fe90 a000fe94 a000fe98 a000fe9c\r\n"
        "0012fea0: a000fea0 a000fea4 a000fea8 a000feac a000feb0 a000feb4 a000feb8 a000febc\r\n"
        "0012fec0: a000fec0 a000fec4 a000fec8 a000fecc a000fed0 a000fed4 a000fed8 a000fedc\r\n"
        "0012fee0: a000fee0 a000fee4 a000fee8 a000feec a000fef0 a000fef4 a000fef8 a000fefc\r\n"
        "\r\n"
        "Intel Call Stack Information:\r\n"
        "0012ff00: a000ff00 a000ff04 a000ff08 a000ff0c a000ff10 a000ff14 a000ff18 a000ff1c\r\n"
        "0012ff20: 0012ff60 00402000 a000ff28 a000ff2c a000ff30 a000ff34 a000ff38 a000ff3c\r\n"
        "\r\n"
        "0012ff20  00401a2c  " +
        exe + "\r\n" +
        "Bytes at CS:EIP: 8b 45 08 c7 00 01 00 00 00 5d c3 90 ?? ?? ?? ?? \r\n"
        "0012ff40: a000ff40 a000ff44 a000ff48 a000ff4c a000ff50 a000ff54 a000ff58 a000ff5c\r\n"
        "0012ff60: 00000000 00403000 a000ff68 a000ff6c a000ff70 a000ff74 a000ff78 a000ff7c\r\n"
        "\r\n"
        "0012ff60  00402000  " +
        exe + "\r\n" +
        "Bytes at CS:EIP: ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? \r\n"
        "Module list:\r\n" +
        exe + ", loaded at 0x00400000 - 09/06/07 13:04:29 (KR)\r\n";
    EXPECT_EQ(file.Text(), expected);
    EXPECT_EQ(p.calls, (std::vector<std::string>{"SymInitialize"}));
}

TEST_F(CrashWholeReport, EveryLineEndsInCrLfAndNoPieceHoldsATerminator) {
    WriteReportSections(file, p, exception, regs, startTime, state);
    const std::string text = file.Text();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
        }
        if (text[i] == '\r') {
            EXPECT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "bare CR at " << i;
        }
    }
    EXPECT_EQ(text.find('\0'), std::string::npos);
    for (const std::string& piece : file.pieces) EXPECT_LE(piece.size(), kReportPieceLimit);
}

TEST_F(CrashWholeReport, FaultingModuleUnknownOutsideAnyModule) {
    regs.eip = 0x00000000;  // a call through a null pointer
    WriteReportSections(file, p, exception, regs, startTime, state);
    EXPECT_NE(file.Text().find("an Access Violation in module Unknown at 001b:00000000.\r\n"), std::string::npos);
    EXPECT_NE(file.Text().find("Bytes at CS:EIP:\r\n?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? \r\n"),
              std::string::npos);
}

TEST_F(CrashWholeReport, FaultingModuleWithoutBackslashIsTheWholePath) {
    p.modulePaths[p.exeBase] = "Tarn.exe";
    WriteReportSections(file, p, exception, regs, startTime, state);
    EXPECT_NE(file.Text().find("in module Tarn.exe at"), std::string::npos);
}

TEST_F(CrashWholeReport, ModuleListWithoutHeaderIsOnlyItsHeading) {
    p.Unmap(p.exeBase, 2);
    WriteReportSections(file, p, exception, regs, startTime, state);
    const std::string text = file.Text();
    EXPECT_EQ(text.substr(text.size() - 14), "Module list:\r\n");
}

TEST_F(CrashWholeReport, OtherCodesHaveNoAccessLine) {
    exception = CrashException{0xC0000094u, 0, {0, 0}};
    WriteReportSections(file, p, exception, regs, startTime, state);
    const std::string text = file.Text();
    EXPECT_NE(text.find("an Integer Divide by Zero in module TarnFileUpdater.exe at 001b:00401a2c.\r\n\r\nRegisters:"),
              std::string::npos);
}

TEST_F(CrashWholeReport, CursorAndLimitAreSetAfreshFromThisReport) {
    state = StackDumpState{0x7fff0000, 0x10};  // left over from elsewhere
    WriteReportSections(file, p, exception, regs, startTime, state);
    EXPECT_NE(file.Text().find("Stack dump:\r\n0012fe60: "), std::string::npos);
}

TEST_F(CrashWholeReport, SelectorsPrintTheirLow16Bits) {
    // Garbage above the selectors, as Wine leaves it in the context of a raised exception.
    regs.cs = 0x006a0023;
    regs.ss = regs.ds = regs.es = 0xff14002b;
    regs.fs = 0x0040006b;
    regs.gs = 0x80000063;
    WriteReportSections(file, p, exception, regs, startTime, state);
    for (const char* line : {"in module TarnFileUpdater.exe at 0023:00401a2c.\r\n", "EAX=00000010 CS=0023 EIP=",
                             " SS=002b ESP=", " DS=002b ESI=00405038 FS=006b\r\n", " ES=002b EDI=0012ff7c GS=0063\r\n"})
        EXPECT_NE(file.Text().find(line), std::string::npos) << line;
}

TEST_F(CrashWholeReport, X8664ValuesPrintInFull) {
    regs.eip = 0x0000000140001a2cull;
    regs.esp = 0x000000000022fe64ull;
    regs.eax = 0xfffff80012345678ull;
    p.stackBase = 0x0000000000230000ull;
    p.MapStack(0x0022f000, 0x00230000);
    WriteReportSections(file, p, exception, regs, startTime, state);
    const std::string text = file.Text();
    EXPECT_NE(text.find("EAX=fffff80012345678 CS=001b EIP=140001a2c EFLGS=00010246\r\n"), std::string::npos);
    EXPECT_NE(text.find("Stack dump:\r\n0022fe60: a000fe60"), std::string::npos);
    EXPECT_NE(text.find("in module Unknown at 001b:140001a2c.\r\n"), std::string::npos);
}

}  // namespace
}  // namespace tarn
