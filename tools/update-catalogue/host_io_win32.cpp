#include <cstdio>

#include "platform/unique_handle.h"
#include "platform/win32.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/wide_text_win32.h"

namespace tarn::tool {

namespace {

std::string Describe(const std::string& what, DWORD error) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = what + ": error " + std::to_string(error);
    if (text) {
        std::string t = text;
        LocalFree(text);
        while (!t.empty() && (t.back() == '\r' || t.back() == '\n' || t.back() == ' ')) t.pop_back();
        message += " (" + HostTextForDisplay(t) + ")";
    }
    return message;
}

bool FullPath(const std::string& path, std::wstring* full) {
    std::wstring wide;
    if (!WideFromCodePage(CP_ACP, path, &wide)) return false;
    wchar_t buf[MAX_PATH * 2];
    const DWORD n = GetFullPathNameW(wide.c_str(), MAX_PATH * 2, buf, nullptr);
    if (n == 0 || n >= MAX_PATH * 2) return false;
    *full = buf;
    while (full->size() > 3 && full->back() == L'\\') full->pop_back();
    return true;
}

}  // namespace

PathKind GetPathKind(const std::string& hostPath) {
    const DWORD a = GetFileAttributesA(hostPath.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
    return (a & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kDirectory : PathKind::kFile;
}

bool ReadHostFile(const std::string& hostPath, size_t limit, std::string* data, std::string* error) {
    UniqueFileHandle file(CreateFileA(hostPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        *error = Describe("cannot open", GetLastError());
        return false;
    }
    data->clear();
    char buf[65536];
    while (data->size() <= limit) {
        DWORD n = 0;
        if (!ReadFile(file.get(), buf, sizeof buf, &n, nullptr)) {
            *error = Describe("cannot read", GetLastError());
            return false;
        }
        if (n == 0) break;
        data->append(buf, n);
    }
    if (data->size() > limit + 1) data->resize(limit + 1);
    return true;
}

bool WriteFileReplacing(const std::string& hostPath, const std::string& data, std::string* error) {
    // A name beside the target, so that the rename stays within one volume.
    const std::string tempPath = hostPath + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
    UniqueFileHandle file(
        CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        *error = Describe("cannot create the temporary file " + HostTextForDisplay(tempPath), GetLastError());
        return false;
    }
    ScopeExit removeTemp([&] {
        file.reset();
        DeleteFileA(tempPath.c_str());
    });
    for (size_t done = 0; done < data.size();) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(data.size() - done > 1 << 20 ? 1 << 20 : data.size() - done);
        if (!WriteFile(file.get(), data.data() + done, chunk, &n, nullptr) || n == 0) {
            *error = Describe("cannot write " + HostTextForDisplay(tempPath), GetLastError());
            return false;
        }
        done += n;
    }
    if (!FlushFileBuffers(file.get())) {
        *error = Describe("cannot write " + HostTextForDisplay(tempPath), GetLastError());
        return false;
    }
    file.reset();
    if (!MoveFileExA(tempPath.c_str(), hostPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = Describe("cannot rename the temporary file to " + HostTextForDisplay(hostPath), GetLastError());
        return false;
    }
    removeTemp.release();
    return true;
}

bool DeleteHostFile(const std::string& hostPath, std::string* error) {
    if (DeleteFileA(hostPath.c_str())) return true;
    *error = Describe("cannot remove " + HostTextForDisplay(hostPath), GetLastError());
    return false;
}

bool ChangeDir(const std::string& hostPath, std::string* error) {
    if (SetCurrentDirectoryA(hostPath.c_str())) return true;
    *error = Describe("cannot enter " + HostTextForDisplay(hostPath), GetLastError());
    return false;
}

bool LiesInside(const std::string& hostFile, const std::string& hostDir) {
    std::wstring file, dir;
    if (!FullPath(hostFile, &file) || !FullPath(hostDir, &dir)) return false;
    const size_t slash = file.rfind(L'\\');
    if (slash == std::wstring::npos) return false;
    std::wstring fileDir = file.substr(0, slash);
    if (fileDir.size() == 2) fileDir += L'\\';  // "C:" -> "C:\"
    // Names are compared as Windows does, without regard to letter case.
    CharUpperBuffW(&fileDir[0], static_cast<DWORD>(fileDir.size()));
    CharUpperBuffW(&dir[0], static_cast<DWORD>(dir.size()));
    if (fileDir == dir) return true;
    const std::wstring prefix = dir.back() == L'\\' ? dir : dir + L"\\";
    return fileDir.compare(0, prefix.size(), prefix) == 0;
}

std::string HostTextForDisplay(const std::string& hostText) {
    std::wstring wide;
    std::string utf8;
    if (WideFromCodePage(CP_ACP, hostText, &wide) && WideToCodePage(CP_UTF8, wide, &utf8)) return SanitizeUtf8(utf8);
    return SanitizeUtf8(hostText);
}

}  // namespace tarn::tool
