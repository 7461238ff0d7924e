#pragma once
// Rules about names in the install folder, shared by the updater and the publisher's tool.

namespace tarn {

// Folder names whose contents are never listed, at any depth (compared case-sensitively).
bool IsExcludedFolderName(const char* name);

// Names containing "IFU" (found by CP949 characters) are never listed.
bool ContainsIfu(const char* name);

// A catalogue path that must never be written: it could land outside the install folder or
// names something Windows treats specially. Components are split on both '\' and '/'.
// Sets *why to a short reason when it returns true.
bool IsUnsafeCataloguePath(const char* path, const char** why = nullptr);

// The rest of path after its leading folder part folder (empty, or ending in a separator), with
// names compared as Windows compares them: ASCII letters in either case and '/' and '\' alike,
// while a CP949 double-byte character (whose trail byte may be a letter or '\') matches only
// itself. nullptr when path does not start with folder.
const char* SkipFolderPrefix(const char* path, const char* folder);

// Whether the path's first component is the file in which a signed updater records the last
// release it accepted, at the top of the install folder (letter case aside, as Windows compares
// names), or its 8.3 short name. No catalogue entry may name it, nor a folder in its place, which
// would keep the updater from ever recording a release again.
bool IsReleaseStateName(const char* path);

}  // namespace tarn
