#pragma once
// A publication's file operations made on the host, each recorded ("write files/a.txt") and the
// one numbered failAt failed, to watch their order and fail any one of them.
#include <string>
#include <vector>

#include "tools/update-catalogue/publication.h"

#ifndef _WIN32
namespace tarn::test {

class WatchingIo : public tool::PublishIo {
public:
    explicit WatchingIo(const std::string& root, int failAt = -1) : root_(root), failAt_(failAt) {}
    tool::PathKind Kind(const std::string& path) override { return host_.Kind(path); }
    bool MakeFolders(const std::string& path, std::vector<std::string>* made, std::string* error) override {
        return Step("mkdir", path, error) && host_.MakeFolders(path, made, error);
    }
    bool WriteBeside(const std::string& target, const std::string& data, std::string* temp,
                     std::string* error) override {
        return Step("write", target, error) && host_.WriteBeside(target, data, temp, error);
    }
    bool CopyBeside(const std::string& source, const std::string& target, FileTime time, std::string* temp,
                    std::string* error) override {
        return Step("write", target, error) && host_.CopyBeside(source, target, time, temp, error);
    }
    bool SetWriteTime(const std::string& path, FileTime time, std::string* error) override {
        return Step("time", path, error) && host_.SetWriteTime(path, time, error);
    }
    bool Link(const std::string& existing, const std::string& newName, std::string* error) override {
        return Step("link", existing, error) && host_.Link(existing, newName, error);
    }
    bool Rename(const std::string& from, const std::string& to, std::string* error) override {
        return Step("rename", to, error) && host_.Rename(from, to, error);
    }
    bool Remove(const std::string& path) override {
        // A served file, not a temporary or second name (those begin with '.').
        if (path[path.rfind('/') + 1] != '.') steps.push_back("remove " + path.substr(root_.size() + 1));
        return host_.Remove(path);
    }
    bool RemoveFolder(const std::string& path) override { return host_.RemoveFolder(path); }

    std::vector<std::string> steps;  // "write files/a.txt", ...

private:
    bool Step(const char* what, const std::string& path, std::string* error) {
        steps.push_back(std::string(what) + " " + (path.size() > root_.size() ? path.substr(root_.size() + 1) : "."));
        if (static_cast<int>(steps.size()) - 1 != failAt_) return true;
        *error = "injected failure";
        return false;
    }
    tool::PublishIo& host_ = tool::HostPublishIo();
    std::string root_;
    int failAt_;
};

}  // namespace tarn::test
#endif
