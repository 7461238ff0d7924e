#pragma once
// The publishing commands: stage a release as a web root, verify what a server answers.
#include <ostream>
#include <string>
#include <vector>

#include "tools/update-catalogue/command_support.h"

namespace tarn::tool {

extern const CommandSpec kStageCommand;
extern const CommandSpec kVerifyCommand;

// Both as RunTool, for the arguments after the command's name.
int RunStage(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunVerify(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

#ifndef _WIN32
class PublishIo;
// RunStage with its file operations made through io.
int RunStageWith(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, PublishIo& io);
#endif

}  // namespace tarn::tool
