#include <gtest/gtest.h>

#include <string>

#include "crash/crash_report.h"
#include "crash_fake_platform.h"

namespace tarn {
namespace {

using test::FakeCrashPlatform;
using test::RecordingReportFile;

const char kExe[] = "C:\\Tarn\\TarnFileUpdater.exe";
const char kDll[] = "C:\\WINDOWS\\system32\\kernel32.dll";

// ---- Choice of walk and symbol options ----------------------------------------------------------

TEST(CrashSymbolOptions, DecoratedNamesDeferredLoadsAndLinesTheRestKept) {
    const struct {
        uint32_t in;
        bool change;
        uint32_t out;
    } cases[] = {
        {0x00000000u, true, 0x00000014u},  // nothing set
        {0x00000016u, true, 0x00000014u},  // names would come back undecorated
        {0x00000002u, true, 0x00000014u},  // only undecorated names
        {0x00000010u, true, 0x00000014u},  // lines without deferred loads
        {0x00000014u, false, 0},           // already as wanted
        {0x00000015u, false, 0},           // other bits do not matter
        {0x80000234u, false, 0},           // nor do high ones
        {0xFFFFFFFFu, true, 0xFFFFFFFDu},  // everything else kept
        {0x00010006u, true, 0x00010014u},  // a kept bit beside the changed ones
    };
    for (const auto& c : cases) {
        uint32_t out = 0;
        EXPECT_EQ(AdjustSymbolOptions(c.in, &out), c.change) << std::hex << c.in;
        if (c.change) {
            EXPECT_EQ(out, c.out) << std::hex << c.in;
        }
    }
}

struct CrashCallStack : ::testing::Test {
    FakeCrashPlatform p;
    RecordingReportFile file;
    CrashRegisters regs{};
    StackDumpState state{0x0012fe00, 0x00130000};

    void SetUp() override {
        p.AddModule(p.exeBase, 0x20000, kExe);
        p.AddModule(0x7c800000, 0x100000, kDll);
        p.MapStack(0x0012f000, 0x00130000);
        regs.eip = 0x00401a2c;
        regs.ebp = 0x0012fe40;
        regs.esp = 0x0012fe00;
    }
    // Each frame's stack address lies above the one made before it.
    uint64_t stackAddress = 0x0012f000;
    WalkFrame Frame(uint64_t fp, uint64_t pc) {
        return WalkFrame{fp, pc, {0x11, 0x22, 0x33, 0x44}, stackAddress += 0x10};
    }
};

TEST_F(CrashCallStack, SymbolicWhenTheHandlerStartsThenCleanedUp) {
    p.symbolsAvailable = true;
    p.symbolOptions = 0x2;
    WriteCallStack(file, p, regs, state);
    EXPECT_EQ(p.calls, (std::vector<std::string>{"SymInitialize", "SymSetOptions", "SymCleanup"}));
    EXPECT_EQ(p.symbolOptions, 0x14u);
    EXPECT_EQ(file.Text(), "Call Stack Information:\r\n\r\n");  // the first step found nothing
    EXPECT_EQ(p.walkStart.pc, 0x00401a2cu);
    EXPECT_EQ(p.walkStart.frame, 0x0012fe40u);
    EXPECT_EQ(p.walkStart.stack, 0x0012fe00u);
}

TEST_F(CrashCallStack, OptionsAlreadyRightAreNotSet) {
    p.symbolsAvailable = true;
    p.symbolOptions = 0x214;
    WriteCallStack(file, p, regs, state);
    EXPECT_EQ(p.calls, (std::vector<std::string>{"SymInitialize", "SymCleanup"}));
}

TEST_F(CrashCallStack, FramePointersWhenTheHandlerFailsAndNoCleanup) {
    p.symbolsAvailable = false;
    WriteCallStack(file, p, regs, state);
    EXPECT_EQ(p.calls, (std::vector<std::string>{"SymInitialize"}));
    EXPECT_EQ(file.Text().rfind("Intel Call Stack Information:\r\n", 0), 0u);
}

// ---- Symbolic walk -------------------------------------------------------------------------------

TEST_F(CrashCallStack, FrameWithSymbolAndLineIsThreeLines) {
    state.cursor = 0x0012ff00;
    p.frames = {Frame(0x0012ff10, 0x00401a2c)};
    p.symbols[0x00401a2c] = {"?Run@CUpdaterDlg@@QAEXXZ", 0x1c};
    p.undecorated["?Run@CUpdaterDlg@@QAEXXZ"] = "public: void __thiscall CUpdaterDlg::Run(void)";
    p.lines[0x00401a2c] = {"C:\\src\\ui\\updater_dlg.cpp", 212};
    WalkStackSymbolic(file, p, regs, state);
    EXPECT_EQ(file.Text(),
              "Call Stack Information:\r\n"
              "0012ff00: a000ff00 a000ff04 a000ff08 a000ff0c a000ff10 a000ff14 a000ff18 a000ff1c\r\n"
              "\r\n0012ff10  00401a2c ?Run@CUpdaterDlg@@QAEXXZ +1c\r\n"
              "C:\\src\\ui\\updater_dlg.cpp 212 public: void __thiscall CUpdaterDlg::Run(void)\r\n"
              "Params:   00000011 00000022 00000033 00000044\r\n"
              "\r\n");
}

TEST_F(CrashCallStack, SymbolWithoutLineGivesModuleAndUndecoratedName) {
    state.cursor = 0x0012ff40;
    p.frames = {Frame(0x0012ff10, 0x7c812345)};
    p.symbols[0x7c812345] = {"RaiseException", 0x45};
    p.undecorated["RaiseException"] = "RaiseException";
    WalkStackSymbolic(file, p, regs, state);
    EXPECT_EQ(file.Text(),
              "Call Stack Information:\r\n"
              "\r\n0012ff10  7c812345 RaiseException +45\r\n"
              "C:\\WINDOWS\\system32\\kernel32.dll RaiseException\r\n"
              "Params:   00000011 00000022 00000033 00000044\r\n"
              "\r\n");
}

TEST_F(CrashCallStack, NoSymbolGivesModulePathAndEmptyName) {
    state.cursor = 0x0012ff40;
    p.frames = {Frame(0x0012ff10, 0x00402000), Frame(0x0012ff30, 0x00500000)};
    WalkStackSymbolic(file, p, regs, state);
    EXPECT_EQ(file.Text(),
              "Call Stack Information:\r\n"
              "\r\n0012ff10  00402000 " +
                  std::string(kExe) +
                  " \r\n"
                  "Params:   00000011 00000022 00000033 00000044\r\n"
                  "\r\n0012ff30  00500000  \r\n"  // no module either: both empty
                  "Params:   00000011 00000022 00000033 00000044\r\n"
                  "\r\n");
}

TEST_F(CrashCallStack, DisplacementPrintsItsLow32Bits) {
    state.cursor = 0x0012ff40;
    p.frames = {Frame(0x0012ff10, 0x00401000)};
    p.symbols[0x00401000] = {"_start", 0x100000abcull};
    WalkStackSymbolic(file, p, regs, state);
    EXPECT_NE(file.Text().find("00401000 _start +abc\r\n"), std::string::npos);
}

TEST_F(CrashCallStack, StopsAtFrameAddressZeroBeforeDumpingOrPrinting) {
    state.cursor = 0x0012ff00;
    p.frames = {Frame(0x0012ff10, 0x00401000), Frame(0, 0x00402000), Frame(0x0012ff80, 0x00403000)};
    WalkStackSymbolic(file, p, regs, state);
    const std::string text = file.Text();
    EXPECT_EQ(text.find("00402000"), std::string::npos);
    EXPECT_EQ(text.find("00403000"), std::string::npos);
    EXPECT_EQ(state.cursor, 0x0012ff20u);
    EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
}

TEST_F(CrashCallStack, DumpCursorCarriesAcrossFrames) {
    state.cursor = 0x0012fe20;
    p.frames = {
        Frame(0x0012fe30, 0x00401000),  // less than 32 above the cursor: continues from it
        Frame(0x0012ff54, 0x00401000),  // far above: skips to 0x12ff20
        Frame(0x0012ff50, 0x00401000),  // high end below the cursor: no lines
    };
    WalkStackSymbolic(file, p, regs, state);
    const std::string text = file.Text();
    auto count = [&](const char* s) { return text.find(s) == std::string::npos ? 0 : 1; };
    EXPECT_EQ(count("0012fe20: "), 1);
    EXPECT_EQ(count("0012fe40: "), 0);
    EXPECT_EQ(count("0012fe60: "), 0);
    EXPECT_EQ(count("0012ff00: "), 0);
    EXPECT_EQ(count("0012ff20: "), 1);
    EXPECT_EQ(count("0012ff40: "), 1);
    EXPECT_EQ(count("0012ff60: "), 0);
    // Each address line appears once and in ascending order.
    EXPECT_LT(text.find("0012fe20: "), text.find("0012ff20: "));
    const size_t third = text.find("\r\n0012ff50  ");
    ASSERT_NE(third, std::string::npos);
    EXPECT_EQ(text.find(": a000", third), std::string::npos) << "the third frame added dump lines";
}

TEST_F(CrashCallStack, WalkEndsOnALoopingOrEndlessChain) {
    auto framesWritten = [&] {
        const std::string text = file.Text();
        file.pieces.clear();
        size_t n = 0;
        for (size_t at = text.find("Params:"); at != std::string::npos; at = text.find("Params:", at + 1)) ++n;
        return n;
    };
    // A step that does not move up the stack goes round a loop.
    const WalkFrame looping = Frame(0x0012ff10, 0x00401000);
    p.frames = {looping, Frame(0x0012ff30, 0x00401000), looping, looping};
    WalkStackSymbolic(file, p, regs, state);
    EXPECT_EQ(framesWritten(), 2u);
    // A chain that keeps rising is cut at the cap.
    p.frames.clear();
    while (p.frames.size() < 3 * kMaxWalkFrames) p.frames.push_back(Frame(0x0012ff10, 0x00401000));
    WalkStackSymbolic(file, p, regs, state);
    EXPECT_EQ(framesWritten(), static_cast<size_t>(kMaxWalkFrames));
}

TEST_F(CrashCallStack, LongSourcePathStillEndsItsLine) {
    state.cursor = 0x0012ff40;
    p.frames = {Frame(0x0012ff10, 0x00401000)};
    const std::string longName(511, 'n');
    p.symbols[0x00401000] = {longName, 4};
    p.undecorated[longName] = longName;
    p.lines[0x00401000] = {"C:\\" + std::string(900, 's') + ".cpp", 7};
    WalkStackSymbolic(file, p, regs, state);
    for (const std::string& piece : file.pieces) {
        EXPECT_LE(piece.size(), kReportPieceLimit);
        if (piece.size() > 100) {
            EXPECT_EQ(piece.substr(piece.size() - 2), "\r\n");
        }
    }
    EXPECT_NE(file.Text().find(" 7 " + longName + "\r\n"), std::string::npos);
}

// ---- Frame-pointer walk ------------------------------------------------------------------------

struct CrashFramePointers : CrashCallStack {
    void SetUp() override {
        CrashCallStack::SetUp();
        state.cursor = 0x0012fe00;
        regs.ebp = 0x0012fe40;
        p.MapBytes(regs.eip, {0x55, 0x8b, 0xec});
    }
    void Link(uint64_t fp, uint64_t nextFp, uint64_t returnAddress) {
        p.MapWord(fp, static_cast<uint32_t>(nextFp));
        p.MapWord(fp + 4, static_cast<uint32_t>(returnAddress));
    }
    std::vector<std::string> FrameLines() {
        std::vector<std::string> out;
        const std::string text = file.Text();
        for (size_t at = text.find("\r\n\r\n"); at != std::string::npos; at = text.find("\r\n\r\n", at + 1)) {
            const size_t end = text.find("\r\n", at + 4);
            out.push_back(text.substr(at + 4, end - at - 4));
        }
        return out;
    }
};

TEST_F(CrashFramePointers, FollowsTheChainWithModulesAndCodeBytes) {
    Link(0x0012fe40, 0x0012fe80, 0x7c801000);
    Link(0x0012fe80, 0x0012fe80 - 0x40, 0x00401000);  // goes down: ends the walk
    WalkStackFramePointers(file, p, regs, state);
    EXPECT_EQ(FrameLines(), (std::vector<std::string>{"0012fe40  00401a2c  " + std::string(kExe),
                                                      "0012fe80  7c801000  " + std::string(kDll)}));
    const std::string text = file.Text();
    EXPECT_NE(text.find("Bytes at CS:EIP: 55 8b ec ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? \r\n"), std::string::npos);
    EXPECT_EQ(text.rfind("Intel Call Stack Information:\r\n0012fe20: ", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_NE(text.substr(text.size() - 4), "\r\n\r\n") << "nothing follows the last frame";
}

TEST_F(CrashFramePointers, EqualNextPointerEndsAfterTheCurrentFrame) {
    Link(0x0012fe40, 0x0012fe40, 0x00401000);
    WalkStackFramePointers(file, p, regs, state);
    EXPECT_EQ(FrameLines().size(), 1u);
}

TEST_F(CrashFramePointers, MisalignedNextPointerEndsTheWalk) {
    Link(0x0012fe40, 0x0012fe82, 0x00401000);
    WalkStackFramePointers(file, p, regs, state);
    EXPECT_EQ(FrameLines().size(), 1u);
}

TEST_F(CrashFramePointers, UnwritableNextPointerEndsTheWalk) {
    Link(0x0012fe40, 0x0012fe80, 0x00401000);
    p.readOnly.insert(0x0012fe84);
    WalkStackFramePointers(file, p, regs, state);
    EXPECT_EQ(FrameLines().size(), 1u);
}

TEST_F(CrashFramePointers, UnreadableFirstFramePointerGivesOneFrameWithoutFaulting) {
    regs.ebp = 0x00000008;  // garbage from the faulting code
    WalkStackFramePointers(file, p, regs, state);
    EXPECT_EQ(FrameLines(), (std::vector<std::string>{"00000008  00401a2c  " + std::string(kExe)}));
    EXPECT_EQ(state.cursor, 0x0012fe00u) << "a frame below the cursor dumps nothing";
}

TEST_F(CrashFramePointers, EightByteWordsInTheX8664Build) {
    p.pointerSize = 8;
    p.MapPointer(0x0012fe40, 0x0012fe80);
    p.MapPointer(0x0012fe48, 0x7c801000);
    p.MapPointer(0x0012fe80, 0);
    p.MapPointer(0x0012fe88, 0);
    WalkStackFramePointers(file, p, regs, state);
    EXPECT_EQ(FrameLines(), (std::vector<std::string>{"0012fe40  00401a2c  " + std::string(kExe),
                                                      "0012fe80  7c801000  " + std::string(kDll)}));
}

}  // namespace
}  // namespace tarn
