#pragma once
// The tool's own file work on the host, with paths as the host's file API takes them (UTF-8 with
// '/' on POSIX, ANSI text on Windows). The engine's paths never pass through here.
#include <string>
#include <vector>

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
// The two halves of a replacement, for a caller that puts several files in place together: a new
// file under a temporary name beside hostPath (*tempPath), made durable, with data or with the
// bytes of the file source and its last-write time; then the rename, made durable too. A failed
// write removes its temporary file; a failed rename leaves both names as they were.
bool WriteBeside(const std::string& hostPath, const std::string& data, std::string* tempPath, std::string* error);
bool CopyBeside(const std::string& source, const std::string& hostPath, FileTime time, std::string* tempPath,
                std::string* error);
bool RenameDurably(const std::string& from, const std::string& to, std::string* error);

// A second name for an existing file (a hard link), so that the file can be put back by a rename.
bool LinkFile(const std::string& existing, const std::string& newName, std::string* error);
bool RemoveFile(const std::string& hostPath);
bool RemoveEmptyFolder(const std::string& hostPath);

// A file's last-write time; false when it cannot be read.
bool GetFileWriteTime(const std::string& hostPath, FileTime* time);

// Sets a file's last-write time, leaving its access time alone.
bool SetFileWriteTime(const std::string& hostPath, FileTime time, std::string* error);

// Creates a folder and every missing folder above it (mode 0777 less the umask); *made, when
// given, receives each folder created, outermost first.
bool MakeFolders(const std::string& hostPath, std::string* error, std::vector<std::string>* made = nullptr);

// Whether the existing folder hostInner is hostOuter or lies inside it; false when either cannot
// be resolved.
bool FolderWithin(const std::string& hostInner, const std::string& hostOuter);
#endif

#ifdef _WIN32
// Removes a file, with the reason when it cannot.
bool DeleteHostFile(const std::string& hostPath, std::string* error);
#endif

// Makes hostPath the process's current directory.
bool ChangeDir(const std::string& hostPath, std::string* error);

// Whether hostFile would lie inside the folder hostDir (at any depth). Both must exist up to
// hostFile's folder; false when that cannot be decided.
bool LiesInside(const std::string& hostFile, const std::string& hostDir);

// A host path or argument as UTF-8 for messages.
std::string HostTextForDisplay(const std::string& hostText);

}  // namespace tarn::tool
