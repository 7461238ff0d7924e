#pragma once
// The tool's own file work on the host, with paths as the host's file API takes them (UTF-8 with
// '/' on POSIX, ANSI text on Windows). The engine's paths never pass through here.
#include <string>

#include "engine/update_types.h"

namespace tarn::tool {

enum class PathKind { kMissing, kDirectory, kFile, kOther };

PathKind GetPathKind(const std::string& hostPath);

// Reads at most limit + 1 bytes of a file, so that the caller can tell a file that is too large.
bool ReadHostFile(const std::string& hostPath, size_t limit, std::string* data, std::string* error);

// Writes data to a new temporary file in the target's folder and renames it over the target, so
// that a reader sees the old file or the whole new one, never a part. The temporary file is
// removed on failure; the file gets the permissions of a newly created file.
bool WriteFileReplacing(const std::string& hostPath, const std::string& data, std::string* error);

#ifndef _WIN32
// As WriteFileReplacing, with the content copied from the file source and the last-write time
// set on the new file before it takes the target's name.
bool CopyFileReplacing(const std::string& source, const std::string& hostPath, FileTime time, std::string* error);

// Sets a file's last-write time, leaving its access time alone.
bool SetFileWriteTime(const std::string& hostPath, FileTime time, std::string* error);

// Creates a folder and every missing folder above it (mode 0777 less the umask).
bool MakeFolders(const std::string& hostPath, std::string* error);

// Whether the existing folder hostInner is hostOuter or lies inside it; false when either cannot
// be resolved.
bool FolderWithin(const std::string& hostInner, const std::string& hostOuter);
#endif

// Removes a file, and on POSIX flushes its folder so that the removal is durable before the
// caller goes on.
bool RemoveFileDurably(const std::string& hostPath, std::string* error);

// Makes hostPath the process's current directory.
bool ChangeDir(const std::string& hostPath, std::string* error);

// Whether hostFile would lie inside the folder hostDir (at any depth). Both must exist up to
// hostFile's folder; false when that cannot be decided.
bool LiesInside(const std::string& hostFile, const std::string& hostDir);

// A host path or argument as UTF-8 for messages.
std::string HostTextForDisplay(const std::string& hostText);

}  // namespace tarn::tool
