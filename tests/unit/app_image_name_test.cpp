#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/image_name.h"

namespace tarn {
namespace {

std::string Upper(const std::string& text, DoubleByteUpper dbcs = nullptr) {
    char buffer[64] = {};
    std::memcpy(buffer, text.data(), text.size());
    UpperCaseCp949(buffer, dbcs);
    return buffer;
}

// A stand-in for the system's double-byte table: full-width a..z (A3 E1..FA) to A..Z (A3 C1..DA).
bool FullWidthUpper(unsigned char* lead, unsigned char* trail) {
    if (*lead == 0xA3 && *trail >= 0xE1 && *trail <= 0xFA) {
        *trail = static_cast<unsigned char>(*trail - 0x20);
        return true;
    }
    return false;
}

// A broken table that would turn a character into a single byte or a NUL.
bool ToSingleByte(unsigned char* lead, unsigned char* trail) {
    *lead = 'X';
    *trail = 'Y';
    return true;
}
bool ToNulTrail(unsigned char*, unsigned char* trail) {
    *trail = 0;
    return true;
}

struct UpperCase {
    std::string in;
    std::string out;
};

TEST(AppUpperCaseCp949, AsciiLettersOnly) {
    const UpperCase cases[] = {
        {"", ""},
        {"pimfile.exe", "PIMFILE.EXE"},
        {"TarnM.Exe", "TARNM.EXE"},
        {"a-z_09{}[]@`", "A-Z_09{}[]@`"},
        {"\x7f~", "\x7f~"},
    };
    for (const UpperCase& c : cases) EXPECT_EQ(Upper(c.in), c.out) << c.in;
}

TEST(AppUpperCaseCp949, TrailBytesThatLookLikeLettersStay) {
    // 81 61 and 81 7A are whole characters (extended Hangul); their trail bytes are 'a' and 'z'.
    EXPECT_EQ(Upper("\x81\x61"
                    "b"),
              "\x81\x61"
              "B");
    EXPECT_EQ(Upper("x\x81\x7a"
                    "y"),
              "X\x81\x7a"
              "Y");
    // 피마파일: no Latin letters at all; bytes above 0x80 are never touched on their own.
    EXPECT_EQ(Upper("피마파일.exe"), "피마파일.EXE");
    // A lead byte at the very end is a single byte; the NUL is not stepped over.
    EXPECT_EQ(Upper("ab\x81"), "AB\x81");
}

TEST(AppUpperCaseCp949, DoubleByteCharactersGoWholeToTheSystemTable) {
    EXPECT_EQ(Upper("\xA3\xE1\xA3\xE2.exe", &FullWidthUpper), "\xA3\xC1\xA3\xC2.EXE");
    // Without a table double-byte characters stay.
    EXPECT_EQ(Upper("\xA3\xE1", nullptr), "\xA3\xE1");
    // Mixed: single-byte letters around a double-byte one.
    EXPECT_EQ(Upper("a\xA3\xE1z", &FullWidthUpper), "A\xA3\xC1Z");
}

TEST(AppUpperCaseCp949, ResultsThatAreNotOneDoubleByteCharacterAreRefused) {
    EXPECT_EQ(Upper("\xA3\xE1q", &ToSingleByte), "\xA3\xE1Q");
    EXPECT_EQ(Upper("\xA3\xE1q", &ToNulTrail), "\xA3\xE1Q");
}

struct Match {
    const char* image;
    const char* name;
    bool found;
};

TEST(AppImageNameContains, SubstringByWholeCharacters) {
    const Match cases[] = {
        {"PIMFILE.EXE", "PIMFILE.EXE", true},
        {"OLDPIMFILE.EXE", "PIMFILE.EXE", true},  // merely contains the name
        {"PIMFILE.EXE.BAK", "PIMFILE.EXE", true},
        {"PIMFILE.EX", "PIMFILE.EXE", false},
        {"TARNM.EXE", "PIMFILE.EXE", false},
        {"", "TARNM.EXE", false},
        {"피마TARNM.EXE", "TARNM.EXE", true},  // after double-byte characters
        {"피마파일.EXE", "파일.EXE", true},
        // 81 50 is one character whose trail byte is 'P': "PIMFILE.EXE" must not start on it.
        {"\x81PIMFILE.EXE", "PIMFILE.EXE", false},
        {"\x81PPIMFILE.EXE", "PIMFILE.EXE", true},
        // 81 54 ('T' as trail byte) before ARNM.EXE.
        {"X\x81TARNM.EXE", "TARNM.EXE", false},
        {"\x81\x81TARNM.EXE", "TARNM.EXE", true},  // 81 81 is one character; T starts the next
        {"WINEDEVICE.EXE", "TARNM.EXE", false},
        {"ANYTHING.EXE", "", false},  // an empty name matches nothing
    };
    for (const Match& c : cases)
        EXPECT_EQ(ImageNameContains(c.image, c.name), c.found) << "[" << c.image << "] [" << c.name << "]";
}

TEST(AppImageNameContains, CaseFoldingThenSearch) {
    // Both sides are compared in upper case: a differently cased image name matches.
    std::string image = Upper("TarnM.exe");
    std::string name = Upper("tarnm.exe");
    EXPECT_TRUE(ImageNameContains(image.c_str(), name.c_str()));
    image = Upper("\xA3\xE1tarnm.exe", &FullWidthUpper);
    EXPECT_TRUE(ImageNameContains(image.c_str(), name.c_str()));
    // The name with a full-width letter matches only the upper-cased full-width form.
    image = Upper("\xA3\xE1.exe", &FullWidthUpper);
    name = Upper("\xA3\xE1.exe", &FullWidthUpper);
    EXPECT_TRUE(ImageNameContains(image.c_str(), name.c_str()));
}

}  // namespace
}  // namespace tarn
