#pragma once
// The tool's own file work on the host, with paths as the host's file API takes them (UTF-8 with
// '/' on POSIX, ANSI text on Windows). The engine's paths never pass through here.
#include <string>

namespace tarn::tool {

enum class PathKind { kMissing, kDirectory, kFile, kOther };

PathKind GetPathKind(const std::string& hostPath);

// Reads at most limit + 1 bytes of a file, so that the caller can tell a file that is too large.
bool ReadHostFile(const std::string& hostPath, size_t limit, std::string* data, std::string* error);

// Writes data to a new temporary file in the target's folder and renames it over the target, so
// that a reader sees the old file or the whole new one, never a part. The temporary file is
// removed on failure; the file gets the permissions of a newly created file.
bool WriteFileReplacing(const std::string& hostPath, const std::string& data, std::string* error);

// Makes hostPath the process's current directory.
bool ChangeDir(const std::string& hostPath, std::string* error);

// Whether hostFile would lie inside the folder hostDir (at any depth). Both must exist up to
// hostFile's folder; false when that cannot be decided.
bool LiesInside(const std::string& hostFile, const std::string& hostDir);

// A host path or argument as UTF-8 for messages.
std::string HostTextForDisplay(const std::string& hostText);

}  // namespace tarn::tool
