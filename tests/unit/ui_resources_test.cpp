// The updater window's resources as they are linked into an executable: the dialog template
// read byte by byte from the extended-template format, and the skin bitmap's header and face.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/download_job.h"
#include "platform/win32.h"

namespace tarn {
namespace {

// The bytes of one resource of this executable, or nothing.
std::vector<uint8_t> ResourceBytes(int id, const char* type) {
    HMODULE module = ::GetModuleHandleA(nullptr);
    HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(id), type);
    if (!found) return {};
    HGLOBAL loaded = ::LoadResource(module, found);
    const auto* data = static_cast<const uint8_t*>(::LockResource(loaded));
    if (!data) return {};
    return std::vector<uint8_t>(data, data + ::SizeofResource(module, found));
}

// Reads an extended dialog template; every read checks the bounds first.
class TemplateReader {
public:
    explicit TemplateReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool ok() const { return ok_; }
    uint16_t Word() { return static_cast<uint16_t>(Take(2)); }
    uint32_t Dword() { return static_cast<uint32_t>(Take(4)); }
    int16_t Short() { return static_cast<int16_t>(Take(2)); }
    uint8_t Byte() { return static_cast<uint8_t>(Take(1)); }
    // A UTF-16 string up to its NUL.
    std::u16string Text() {
        std::u16string s;
        for (uint16_t c = Word(); ok_ && c != 0; c = Word()) s += static_cast<char16_t>(c);
        return s;
    }
    // sz_Or_Ord: none (empty), an ordinal ("#N") or a UTF-16 name.
    std::u16string NameOrOrdinal() {
        const uint16_t first = Word();
        if (first == 0) return u"";
        if (first == 0xFFFF) {
            std::u16string s = u"#";
            for (char c : std::to_string(Word())) s += static_cast<char16_t>(c);
            return s;
        }
        std::u16string s(1, static_cast<char16_t>(first));
        return s + Text();
    }
    void AlignDword() { pos_ = (pos_ + 3) & ~size_t(3); }

private:
    uint32_t Take(size_t n) {
        if (!ok_ || pos_ + n > bytes_.size()) {
            ok_ = false;
            return 0;
        }
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= uint32_t(bytes_[pos_ + i]) << (8 * i);
        pos_ += n;
        return v;
    }
    const std::vector<uint8_t>& bytes_;
    size_t pos_ = 0;
    bool ok_ = true;
};

std::string Narrow(const std::u16string& text) {
    std::string s;
    for (char16_t c : text) s += c < 0x80 ? static_cast<char>(c) : '?';
    return s;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

struct Item {
    uint32_t exStyle, style;
    int16_t x, y, cx, cy;
    uint32_t id;
    std::u16string windowClass, title;
};

TEST(UpdaterResources, DialogTemplateIsTheBorderlessPopupWithGulimNinePoint) {
    const std::vector<uint8_t> bytes = ResourceBytes(IDD_UPDATER, MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    ASSERT_FALSE(bytes.empty());
    TemplateReader r(bytes);
    EXPECT_EQ(r.Word(), 1);       // dlgVer
    EXPECT_EQ(r.Word(), 0xFFFF);  // extended template
    EXPECT_EQ(r.Dword(), 0u);     // help id
    EXPECT_EQ(r.Dword(), 0u);     // no extended style
    // Exactly these styles: not visible, no caption, no border, no modal frame.
    EXPECT_EQ(r.Dword(), static_cast<uint32_t>(WS_POPUP | WS_SYSMENU | DS_CENTER | DS_SETFONT));
    const uint16_t count = r.Word();
    EXPECT_EQ(count, 4);
    EXPECT_EQ(r.Short(), 0);
    EXPECT_EQ(r.Short(), 0);
    EXPECT_EQ(r.Short(), 229);
    EXPECT_EQ(r.Short(), 104);
    EXPECT_EQ(r.NameOrOrdinal(), u"");  // no menu
    EXPECT_EQ(r.NameOrOrdinal(), u"");  // the system's dialog class
    EXPECT_EQ(r.Text(), u"");           // no window text
    EXPECT_EQ(r.Word(), 9);             // points
    EXPECT_EQ(r.Word(), 400);           // weight
    EXPECT_EQ(r.Byte(), 0);             // not italic
    r.Byte();                           // character set
    EXPECT_EQ(r.Text(), u"굴림");
    ASSERT_TRUE(r.ok());

    std::vector<Item> items;
    for (int i = 0; i < count; ++i) {
        r.AlignDword();
        Item it = {};
        r.Dword();  // help id
        it.exStyle = r.Dword();
        it.style = r.Dword();
        it.x = r.Short();
        it.y = r.Short();
        it.cx = r.Short();
        it.cy = r.Short();
        it.id = r.Dword();
        it.windowClass = r.NameOrOrdinal();
        it.title = r.NameOrOrdinal();
        const uint16_t extra = r.Word();
        EXPECT_EQ(extra, 0);
        ASSERT_TRUE(r.ok()) << "item " << i;
        items.push_back(it);
    }

    const uint32_t label = SS_LEFT | WS_CHILD | WS_VISIBLE | WS_GROUP;
    const uint32_t bar = WS_CHILD | WS_VISIBLE | WS_BORDER;
    const Item expected[] = {
        {WS_EX_TRANSPARENT, label, 21, 41, 114, 8, 1002, u"#130", u"현재 파일"},
        {0, bar, 21, 52, 189, 9, 1000, u"msctls_progress32", u""},
        {WS_EX_TRANSPARENT, label, 21, 65, 114, 8, 1003, u"#130", u"전체 파일"},
        {0, bar, 21, 75, 189, 9, 1001, u"msctls_progress32", u""},
    };
    ASSERT_EQ(items.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        const Item& a = items[i];
        const Item& e = expected[i];
        SCOPED_TRACE(e.id);
        EXPECT_EQ(a.id, e.id);
        EXPECT_EQ(a.exStyle, e.exStyle);
        EXPECT_EQ(a.style, e.style);
        EXPECT_EQ(a.style & WS_TABSTOP, 0u);
        EXPECT_EQ(a.x, e.x);
        EXPECT_EQ(a.y, e.y);
        EXPECT_EQ(a.cx, e.cx);
        EXPECT_EQ(a.cy, e.cy);
        // Class names do not depend on case (windres writes them in capitals); the static class
        // may also be written as its atom 0x82.
        const std::string cls = Lower(Narrow(a.windowClass));
        if (e.windowClass == u"#130")
            EXPECT_TRUE(cls == "#130" || cls == "static") << cls;
        else
            EXPECT_EQ(cls, Lower(Narrow(e.windowClass)));
        EXPECT_EQ(a.title, e.title);
    }
}

// The skin as the system loads it: 403 x 140, 24 bits, uncompressed, bottom-up.
TEST(UpdaterResources, SkinIsAnUncompressedBottomUp24BitBitmap) {
    const std::vector<uint8_t> bytes = ResourceBytes(IDB_SKIN, MAKEINTRESOURCEA(2) /* RT_BITMAP */);
    ASSERT_GE(bytes.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER h;
    std::memcpy(&h, bytes.data(), sizeof h);
    EXPECT_EQ(h.biSize, sizeof(BITMAPINFOHEADER));
    EXPECT_EQ(h.biWidth, 403);
    EXPECT_EQ(h.biHeight, 140);  // positive: bottom-up
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, static_cast<DWORD>(BI_RGB));
    const size_t stride = (403 * 3 + 3) & ~size_t(3);
    EXPECT_GE(bytes.size(), sizeof h + stride * 140);

    HBITMAP loaded = ::LoadBitmapA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_SKIN));
    ASSERT_NE(loaded, nullptr);
    BITMAP info = {};
    EXPECT_NE(::GetObjectA(loaded, sizeof info, &info), 0);
    EXPECT_EQ(info.bmWidth, 403);
    EXPECT_EQ(info.bmHeight, 140);
    ::DeleteObject(loaded);
}

// Skin pixel (x, y) counted from the top, as red, green, blue.
struct Rgb {
    int r, g, b;
};
Rgb SkinPixel(const std::vector<uint8_t>& bytes, int x, int y) {
    const size_t stride = (403 * 3 + 3) & ~size_t(3);
    const size_t at = sizeof(BITMAPINFOHEADER) + stride * size_t(139 - y) + size_t(x) * 3;
    return Rgb{bytes[at + 2], bytes[at + 1], bytes[at]};
}
int Luma(Rgb c) {
    return (299 * c.r + 587 * c.g + 114 * c.b) / 1000;
}

// The black label texts sit on light skin where the dialog font puts them (Gulim 9 points maps
// 4 x 8 dialog units to 6 x 12 pixels). The title band above them is dark: the face is not one
// plain colour.
TEST(UpdaterResources, SkinIsLightBehindTheLabelsAndDarkInTheTitle) {
    const std::vector<uint8_t> bytes = ResourceBytes(IDB_SKIN, MAKEINTRESOURCEA(2));
    ASSERT_GE(bytes.size(), sizeof(BITMAPINFOHEADER) + 1212u * 140);
    struct Dlu {
        int x, y, cx, cy;
    } labels[] = {{21, 41, 114, 8}, {21, 65, 114, 8}};
    for (const Dlu& l : labels) {
        const int left = ::MulDiv(l.x, 6, 4), top = ::MulDiv(l.y, 12, 8);
        const int right = left + ::MulDiv(l.cx, 6, 4), bottom = top + ::MulDiv(l.cy, 12, 8);
        int darkest = 255;
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x) darkest = std::min(darkest, Luma(SkinPixel(bytes, x, y)));
        EXPECT_GT(darkest, 200) << "label at " << l.y << " units";
    }
    int titleBrightest = 0;
    for (int x = 60; x < 400; x += 7) titleBrightest = std::max(titleBrightest, Luma(SkinPixel(bytes, x, 8)));
    EXPECT_LT(titleBrightest, 160);
}

}  // namespace
}  // namespace tarn
#endif  // _WIN32
