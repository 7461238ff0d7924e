#pragma once
// Pieces of the download worker that stand on their own, exposed for the unit tests. Windows only.
#include <cstddef>
#include <cstdint>

namespace tarn {

// The number a Content-Length text announces, read as the C library's strtol reads it: leading
// white space skipped, an optional sign, then decimal digits up to the first other character; no
// digits give 0. Unlike strtol it does not saturate at 32 bits: a value beyond any file size stays
// beyond it (capped far above 2^31), so it can never pass for a real size.
int64_t ContentLengthValue(const char* text);

// Whether the internet client makes an HTTP file object for this URL (scheme http or https).
bool IsHttpUrl(const char* url);

// The worker's agent text: the executable's file name without its extension.
void ApplicationName(char* out, size_t cap);

// A read-only file is never replaced, as it could not be overwritten in place. (Wine lets a
// rename replace one; Windows refuses.)
bool IsReadOnlyFile(const char* path);

// Moves the finished download `partialPath` over `targetPath` (same folder); a read-only target
// is never replaced (ERROR_ACCESS_DENIED). When the target is in use but can be renamed (the
// running updater itself, say), it is first moved aside to `asidePath` (same folder), replacing
// an older one, and removed if it can be; should the new file still not go in, the old one is put back
// (or, if even that fails, left aside for the next run's scan to move back). False when the
// target is not replaced; GetLastError() then tells why. The partial file is left where it is on
// failure. *asideLeft (when given) says whether a file is still at `asidePath`.
bool PlaceDownloadedFile(const char* partialPath, const char* targetPath, const char* asidePath,
                         bool* asideLeft = nullptr);

}  // namespace tarn
