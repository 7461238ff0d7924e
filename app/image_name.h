#pragma once
// Process image names compared the way the updater finds client processes: both sides in upper
// case by the rules of the ANSI code page (CP949), then a substring search by whole characters.

namespace tarn {

// Upper-cases one double-byte character in place; returns false to leave it as it is. The
// Windows build maps through the system's upper-case table; portable code passes none.
using DoubleByteUpper = bool (*)(unsigned char* lead, unsigned char* trail);

// Upper-cases the single-byte letters a..z and hands every double-byte character, whole, to
// upperDbcs (when given). A trail byte is never changed on its own, even where it has the value
// of an ASCII letter, and a lead byte at the very end stays a single byte.
void UpperCaseCp949(char* text, DoubleByteUpper upperDbcs);

// Whether upperName occurs in upperImage starting on a character boundary of upperImage (never
// on a trail byte). An empty name matches nothing.
bool ImageNameContains(const char* upperImage, const char* upperName);

#ifdef _WIN32
// UpperCaseCp949 with double-byte characters mapped through the system's upper-case table and the
// ANSI code page.
void UpperCaseAnsi(char* text);
#endif

}  // namespace tarn
