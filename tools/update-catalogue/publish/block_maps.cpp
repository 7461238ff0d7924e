#include "tools/update-catalogue/publish/block_maps.h"

#include <cstdio>
#include <iomanip>
#include <memory>
#include <sstream>

#include "blockmap/block_match.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/tool.h"
#include "trust/public_key.h"

namespace tarn::tool {

namespace {

const char kShowBlocksHelp[] =
    "Prints the facts of a block map (F.tarnblocks, as stage writes beside F; see 'stage --help'):\n"
    "the size and SHA-256 of the file it describes, its block size and number of blocks, and its\n"
    "own length. A map the updater would not read is reported with the reason (exit 1).\n";

const char kDiffSizeHelp[] =
    "Prints how many bytes an updater holding OLD would fetch to get NEW when NEW has a block map:\n"
    "NEW's map is made as stage makes it, OLD is scanned for each of NEW's blocks as the updater\n"
    "scans it (a block found anywhere in OLD is copied from there, so insertions and moves cost\n"
    "nothing beyond the blocks they touch), and the blocks not found are fetched, in ranges of\n"
    "neighbouring blocks. The map itself is fetched too, and counted. Without a map the updater\n"
    "fetches NEW whole.\n";

int RunShowBlocks(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunDiffSize(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::string Percent(uint64_t part, uint64_t whole) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << (whole ? 100.0 * static_cast<double>(part) / whole : 0.0) << " %";
    return text.str();
}

bool OpenSized(const std::string& hostPath, std::unique_ptr<std::FILE, FileCloser>* file, uint64_t* size,
               std::string* error) {
    if (GetPathKind(hostPath) != PathKind::kFile) {
        *error = "not a file";
        return false;
    }
    file->reset(std::fopen(hostPath.c_str(), "rb"));
    std::FILE* f = file->get();
#ifdef _WIN32
    const int64_t end = f && _fseeki64(f, 0, SEEK_END) == 0 ? _ftelli64(f) : -1;
    const bool rewound = end >= 0 && _fseeki64(f, 0, SEEK_SET) == 0;
#else
    const int64_t end = f && fseeko(f, 0, SEEK_END) == 0 ? ftello(f) : -1;
    const bool rewound = end >= 0 && fseeko(f, 0, SEEK_SET) == 0;
#endif
    if (!rewound) {
        *error = "cannot be read";
        return false;
    }
    *size = static_cast<uint64_t>(end);
    return true;
}

}  // namespace

const CommandSpec kShowBlocksCommand{"show-blocks",   "F.tarnblocks", {}, "print the facts of a block map",
                                     kShowBlocksHelp, RunShowBlocks};
const CommandSpec kDiffSizeCommand{
    "diff-size", "OLD NEW", {}, "print what an updater holding OLD would fetch for NEW", kDiffSizeHelp, RunDiffSize};

bool MapOfHostFile(const std::string& hostPath, blockmap::BlockMap* map, std::string* error) {
    std::unique_ptr<std::FILE, FileCloser> file;
    uint64_t size = 0;
    if (!OpenSized(hostPath, &file, &size, error)) return false;
    blockmap::StdioSource source(file.get());
    return blockmap::BuildBlockMap(source, size, map, error);
}

bool ReadBlockMapFile(const std::string& hostPath, blockmap::BlockMap* map, std::string* bytes, std::string* error) {
    if (GetPathKind(hostPath) != PathKind::kFile) {
        *error = "not a file";
        return false;
    }
    if (!ReadHostFile(hostPath, blockmap::kMaxMapBytes, bytes, error)) return false;
    const blockmap::MapVerdict verdict =
        blockmap::ParseBlockMap(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size(), map);
    if (verdict == blockmap::MapVerdict::kOk) return true;
    *error =
        bytes->size() > blockmap::kMaxMapBytes ? "larger than any block map can be" : blockmap::MapVerdictText(verdict);
    return false;
}

namespace {

int RunShowBlocks(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, CommandHelp(kShowBlocksCommand));
    if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-'))
        return UsageError(err, "show-blocks takes one F.tarnblocks", kShowBlocksCommand);
    blockmap::BlockMap map;
    std::string bytes, error;
    const std::string shown = HostTextForDisplay(args[0]);
    if (!ReadBlockMapFile(args[0], &map, &bytes, &error)) return Failure(err, shown, error);
    out << "block map: " << shown << " (" << bytes.size() << " bytes, version " << blockmap::kVersion << ")\n";
    out << "file size: " << map.fileSize << " bytes\n";
    out << "SHA-256: " << trust::HexText(map.wholeHash.data(), map.wholeHash.size()) << "\n";
    out << "block size: " << map.blockSize << " bytes\n";
    out << "blocks: " << map.blocks.size();
    if (!map.blocks.empty()) out << " (the last one " << map.BlockLength(map.blocks.size() - 1) << " bytes)";
    out << "\n";
    return kExitOk;
}

int RunDiffSize(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (WantsHelp(args)) return Help(out, CommandHelp(kDiffSizeCommand));
    if (args.size() != 2) return UsageError(err, "diff-size takes OLD and NEW", kDiffSizeCommand);
    blockmap::BlockMap map;
    std::string error;
    if (!MapOfHostFile(args[1], &map, &error)) return Failure(err, HostTextForDisplay(args[1]), error);
    std::unique_ptr<std::FILE, FileCloser> old;
    uint64_t oldSize = 0;
    if (!OpenSized(args[0], &old, &oldSize, &error)) return Failure(err, HostTextForDisplay(args[0]), error);
    blockmap::StdioSource source(old.get());
    blockmap::MatchResult result;
    if (!blockmap::MatchBlocks(map, source, &result, &error)) return Failure(err, HostTextForDisplay(args[0]), error);
    size_t ranges = 0;
    for (const blockmap::Run& run : result.runs) ranges += run.kind == blockmap::Run::kFetch;
    const uint64_t mapBytes = blockmap::kHeaderSize + map.blocks.size() * blockmap::kBlockEntrySize;
    const uint64_t total = result.fetchBytes + mapBytes;
    out << "new file: " << HostTextForDisplay(args[1]) << ", " << map.fileSize << " bytes in " << map.blocks.size()
        << " blocks of " << map.blockSize << " bytes\n";
    out << "found in " << HostTextForDisplay(args[0]) << " (" << oldSize << " bytes): " << result.blocksFound
        << " blocks, " << result.copyBytes << " bytes\n";
    out << "fetched: " << result.fetchBytes << " bytes in " << ranges << (ranges == 1 ? " range" : " ranges")
        << ", and the map of " << mapBytes << " bytes\n";
    out << "bytes to fetch: " << total << " (" << Percent(total, map.fileSize) << " of the file; without a map "
        << map.fileSize << ")\n";
    return kExitOk;
}

}  // namespace

}  // namespace tarn::tool
