#pragma once
// Real folders for file tests: a fresh temporary folder per test, files with a given size and
// last-write time, and the engine-side (Windows-style, CP949) path of each.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/update_engine.h"
#include "trust/crypto.h"

namespace tarn::test {

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Engine-side path of the folder: CP949 text with backslashes, no trailing backslash.
    const std::string& path() const { return path_; }
    // rel uses backslashes and CP949 text, like catalogue paths.
    std::string Join(const std::string& rel) const { return path_ + "\\" + rel; }
    void MakeDir(const std::string& rel) const;
    void WriteFile(const std::string& rel, const std::string& content) const;
    void WriteSized(const std::string& rel, uint64_t size) const;  // sparse where possible
    void SetWriteTime(const std::string& rel, FileTime time) const;
    bool Exists(const std::string& rel) const;
    bool IsDir(const std::string& rel) const;
    std::string Read(const std::string& rel) const;
    // Names directly inside rel ("" for the folder itself), sorted.
    std::vector<std::string> List(const std::string& rel = "") const;

private:
    std::string path_;
};

// The host's form of an engine-side path (CP949 with backslashes): what the tool is given on the
// command line (UTF-8 with '/' on POSIX, the same text on Windows).
std::string HostPath(const std::string& enginePath);

// Restores the process's current directory when it goes away; inventory tests change it.
class CurrentDirGuard {
public:
    CurrentDirGuard();
    ~CurrentDirGuard();

private:
    std::string saved_;
};

// Builds catalogue bytes.
class CatalogueBuilder {
public:
    CatalogueBuilder& Header(const std::string& h = "Update Info") { return Raw(h); }
    CatalogueBuilder& I32(int32_t v);
    CatalogueBuilder& Text(const std::string& s) { return Raw(s).Raw(std::string(1, '\0')); }
    CatalogueBuilder& Entry(const std::string& path, int32_t size, uint64_t time) {
        Text(path).I32(size);
        return I32(static_cast<int32_t>(time & 0xFFFFFFFFu)).I32(static_cast<int32_t>(time >> 32));
    }
    CatalogueBuilder& Raw(const std::string& s) {
        bytes_ += s;
        return *this;
    }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// Hands bytes to the engine as a loaded catalogue.
void LoadBytes(UpdateEngine& engine, const std::string& bytes);

// A file time for a UTC calendar moment.
uint64_t UtcFileTime(int year, int month, int day, int hour, int minute, int second);

// Records every message box instead of showing it.
class RecordingHost : public UpdateHost {
public:
    void ShowMessage(const char* text, const char* caption) override {
        boxes.push_back(std::string(caption) + "|" + text);
    }
    std::vector<std::string> boxes;
};

// Signs with a stand-in scheme that needs no private key: the signature is the digest twice. The
// real P-256 check has its own tests; this one tests what is made of a signature's verdict.
class DigestTwiceCrypto final : public trust::Crypto {
public:
    std::unique_ptr<trust::HashState> NewSha256() override;
    bool VerifyP256(const trust::PublicKey&, const trust::Digest& digest, const trust::Signature& signature) override;
};

// A signature file: the signed part followed by its stand-in signature.
std::string SignTwice(trust::Crypto& crypto, const std::string& signedPart);

}  // namespace tarn::test
