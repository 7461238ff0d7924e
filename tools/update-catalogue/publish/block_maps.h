#pragma once
// Block maps on the publisher's side: the map of a file on disk, and the commands that print one
// and say what an updater holding an older file would fetch.
#include <ostream>
#include <string>
#include <vector>

#include "blockmap/block_map.h"
#include "tools/update-catalogue/command_support.h"

namespace tarn::tool {

// F's map lies beside it as F.tarnblocks, on the server as below the tool.
constexpr char kBlockMapSuffix[] = ".tarnblocks";
constexpr uint64_t kDefaultBlockMapMinSize = 1 << 20;

extern const CommandSpec kShowBlocksCommand;
extern const CommandSpec kDiffSizeCommand;

// The map of a file (host path), read once. False, with the reason.
bool MapOfHostFile(const std::string& hostPath, blockmap::BlockMap* map, std::string* error);

// Reads and parses F.tarnblocks (host path). False, with the reason.
bool ReadBlockMapFile(const std::string& hostPath, blockmap::BlockMap* map, std::string* bytes, std::string* error);

}  // namespace tarn::tool
