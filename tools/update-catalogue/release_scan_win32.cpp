// Walking a release folder on Windows. The wide API sees every name as it is, whatever the
// system's ANSI code page; names are then converted to code page 949 for the catalogue, and a
// name without an exact CP949 form is reported rather than written with '?' in it.
#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "tools/update-catalogue/compare_reads.h"
#include "tools/update-catalogue/release_scan.h"
#include "tools/update-catalogue/wide_text_win32.h"

namespace tarn::tool {

namespace {

constexpr UINT kCp949 = 949;

std::string Utf8(const std::wstring& wide) {
    std::string text;
    if (!WideToCodePage(CP_UTF8, wide, &text)) text = "?";
    return text;
}

std::string ErrorText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result = "error " + std::to_string(error);
    if (n && text) {
        std::wstring w(text, n);
        while (!w.empty() && (w.back() == L'\r' || w.back() == L'\n' || w.back() == L' ')) w.pop_back();
        result = Utf8(w) + " (" + result + ")";
    }
    if (text) LocalFree(text);
    return result;
}

struct Walk {
    std::vector<ReleaseFile>* files;
    Findings* findings;
};

bool ListFolder(Walk& walk, const std::wstring& dir, const std::wstring& relWide, const std::string& relCatalogue) {
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &data));
    if (!find) {
        const DWORD error = GetLastError();
        AddError(walk.findings, relWide.empty() ? Utf8(dir) : Utf8(relWide),
                 "cannot read the folder: " + ErrorText(error));
        return false;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring rel = relWide.empty() ? name : relWide + L"\\" + name;
        const std::string shown = Utf8(rel);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            AddError(walk.findings, shown,
                     "symbolic link or junction: only regular files are published; copy the file in");
            continue;
        }
        std::string cp949;
        if (!WideToCodePage(kCp949, name, &cp949)) {
            AddError(walk.findings, shown,
                     "the name cannot be written in CP949 (the Korean ANSI code page the updater uses)");
            continue;
        }
        const std::string catalogue = relCatalogue.empty() ? cp949 : relCatalogue + "\\" + cp949;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ListFolder(walk, dir + L"\\" + name, rel, catalogue);
            continue;
        }
        ReleaseFile file;
        file.path = catalogue;
        file.shown = shown;
        file.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        file.writeTime = FileTime{data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime};
        file.source = Utf8(dir + L"\\" + name);
        walk.files->push_back(std::move(file));
    } while (FindNextFileW(find.get(), &data));
    return true;
}

// Opens a file named by ReleaseFile::source; the error is saved before anything can change it.
UniqueFileHandle OpenSource(const std::string& source, DWORD access, DWORD share, std::string* error) {
    std::wstring wide;
    if (!WideFromCodePage(CP_UTF8, source, &wide)) {
        *error = source + ": the name cannot be read";
        return UniqueFileHandle();
    }
    UniqueFileHandle file(
        CreateFileW(wide.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        *error = source + ": cannot open: " + ErrorText(code);
    }
    return file;
}

// Reads up to size bytes, fewer only at the end of the file; -1 on failure.
long ReadFully(HANDLE file, char* buf, DWORD size) {
    DWORD done = 0;
    while (done < size) {
        DWORD n = 0;
        if (!ReadFile(file, buf + done, size - done, &n, nullptr)) return -1;
        if (n == 0) break;
        done += n;
    }
    return static_cast<long>(done);
}

}  // namespace

bool SameBytes(const std::string& sourceA, const std::string& sourceB, bool* same, std::string* error) {
    UniqueFileHandle a = OpenSource(sourceA, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, error);
    if (!a) return false;
    UniqueFileHandle b = OpenSource(sourceB, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, error);
    if (!b) return false;
    DWORD readError = 0;
    const auto reader = [&readError](HANDLE file) {
        return [file, &readError](char* buf, size_t n) {
            const long got = ReadFully(file, buf, static_cast<DWORD>(n));
            if (got < 0) readError = GetLastError();
            return got;
        };
    };
    const Comparison result = CompareReads(reader(a.get()), reader(b.get()));
    if (result == Comparison::kFirstFailed || result == Comparison::kSecondFailed) {
        *error = (result == Comparison::kFirstFailed ? sourceA : sourceB) + ": cannot read: " + ErrorText(readError);
        return false;
    }
    *same = result == Comparison::kSame;
    return true;
}

bool HashSource(const std::string& source, trust::Digest* digest, uint64_t* size, std::string* error) {
    UniqueFileHandle file = OpenSource(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, error);
    if (!file) return false;
    DWORD readError = 0;
    const auto read = [&file, &readError](char* buf, size_t n) {
        const long got = ReadFully(file.get(), buf, static_cast<DWORD>(n));
        if (got < 0) readError = GetLastError();
        return got;
    };
    bool failedRead = false;
    if (HashReads(read, digest, size, &failedRead)) return true;
    *error = failedRead ? source + ": cannot read: " + ErrorText(readError) : "cannot compute SHA-256";
    return false;
}

bool SetWriteTime(const std::string& source, FileTime time, std::string* error) {
    UniqueFileHandle file =
        OpenSource(source, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, error);
    if (!file) return false;
    const FILETIME written{time.low, time.high};
    if (SetFileTime(file.get(), nullptr, nullptr, &written)) return true;
    const DWORD code = GetLastError();
    *error = source + ": cannot set its time: " + ErrorText(code);
    return false;
}

bool WideFromCodePage(UINT codePage, const std::string& text, std::wstring* wide) {
    wide->clear();
    if (text.empty()) return true;
    const int len = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), len, nullptr, 0);
    if (n <= 0) return false;
    wide->resize(static_cast<size_t>(n));
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), len, &(*wide)[0], n) == n;
}

bool WideToCodePage(UINT codePage, const std::wstring& wide, std::string* text) {
    text->clear();
    if (wide.empty()) return true;
    const int len = static_cast<int>(wide.size());
    BOOL usedDefault = FALSE;
    BOOL* used = codePage == CP_UTF8 ? nullptr : &usedDefault;
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int n = WideCharToMultiByte(codePage, flags, wide.data(), len, nullptr, 0, nullptr, used);
    if (n <= 0 || usedDefault) return false;
    text->resize(static_cast<size_t>(n));
    return WideCharToMultiByte(codePage, flags, wide.data(), len, &(*text)[0], n, nullptr, used) == n && !usedDefault;
}

bool ScanRelease(const std::string& hostRoot, std::vector<ReleaseFile>* files, Findings* findings) {
    std::wstring root;
    if (!WideFromCodePage(CP_ACP, hostRoot, &root)) {
        AddError(findings, hostRoot, "the folder name cannot be read");
        return false;
    }
    while (root.size() > 3 && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
    Walk walk{files, findings};
    return ListFolder(walk, root, L"", "");
}

}  // namespace tarn::tool
