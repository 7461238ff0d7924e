#pragma once
// How the updater's requests meet a static web server: the URL path of a base URL and of each
// file, and the names under which a server with a byte-name file system (Linux) must store the
// files so that the requests find them.
#include <string>
#include <vector>

namespace tarn::tool {

// The path every updater asks for its catalogue, and where its signature file lies beside it.
constexpr char kCatalogueUrlPath[] = "/dedivur/update/pim";
constexpr char kSignatureSuffix[] = ".sig";

// "http://host:port/files/" -> origin "http://host:port", path "/files/". False, with the reason,
// for a URL that is not http:// or https://, has no host, or carries a query or a fragment.
// A URL with nothing after its host has the path "".
bool SplitHttpUrl(const std::string& url, std::string* origin, std::string* path, std::string* why);

// The folders below the web root that a URL path ending in '/' names, with its escapes decoded
// as a web server decodes them before it looks for a file ("/files/%41/" -> {"files", "A"}).
// False, with the reason, for a path no folder answers to as written: one that does not begin
// and end with '/', holds an empty, "." or ".." segment, or an escape that is broken or decodes to
// '/' or NUL.
bool ServedFolders(const std::string& urlPath, std::vector<std::string>* folders, std::string* why);

// The request target the updater sends for a catalogue path below a base URL's path: '\' turned
// into '/', a space into %20 (WinINet escapes spaces), every other byte, CP949 ones included,
// sent as it is.
std::string FileRequestTarget(const std::string& baseUrlPath, const std::string& cataloguePath);

// Where a web server looks for a catalogue path below the web root: the folders of the base URL,
// then the path's own names, byte for byte.
std::vector<std::string> ServedLocation(const std::vector<std::string>& folders, const std::string& cataloguePath);

// The catalogue's place below the web root ({"dedivur", "update", "pim"}), and its signature's.
std::vector<std::string> CatalogueLocation();
std::vector<std::string> SignatureLocation();

// Whether two locations are one, or one lies inside the other: a file at one would stand in the
// way of the other.
bool LocationsClash(const std::vector<std::string>& a, const std::vector<std::string>& b);

// The location's names joined with '/'.
std::string JoinLocation(const std::vector<std::string>& parts);

}  // namespace tarn::tool
