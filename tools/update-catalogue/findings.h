#pragma once
// What the publisher's tool has to say about a release: errors that stop a catalogue from being
// written, and warnings about files the updater would fetch again on every run.
#include <string>
#include <vector>

namespace tarn::tool {

struct Finding {
    enum Kind { kError, kWarning };
    Kind kind;
    std::string subject;  // the file, folder or option concerned, as the publisher knows it
    std::string text;     // why
};

using Findings = std::vector<Finding>;

inline void AddError(Findings* f, std::string subject, std::string text) {
    f->push_back(Finding{Finding::kError, std::move(subject), std::move(text)});
}
inline void AddWarning(Findings* f, std::string subject, std::string text) {
    f->push_back(Finding{Finding::kWarning, std::move(subject), std::move(text)});
}
int CountErrors(const Findings& findings);

}  // namespace tarn::tool
