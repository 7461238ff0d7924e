#include "tools/update-catalogue/command_support.h"

#include <algorithm>

#include "tools/update-catalogue/catalogue_view.h"
#include "tools/update-catalogue/catalogue_writer.h"
#include "tools/update-catalogue/display_text.h"
#include "tools/update-catalogue/host_io.h"
#include "tools/update-catalogue/publish/stable_times.h"
#include "tools/update-catalogue/release_rules.h"
#include "tools/update-catalogue/tool.h"

namespace tarn::tool {

int Help(std::ostream& out, const std::string& text) {
    out << text;
    return kExitOk;
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

int UsageError(std::ostream& err, const std::string& message, const std::string& help) {
    err << kProgram << ": " << message << "\n\n" << help;
    return kExitUsage;
}

int UsageError(std::ostream& err, const std::string& message, const CommandSpec& command) {
    return UsageError(err, message, CommandHelp(command));
}

int Failure(std::ostream& err, const std::string& subject, const std::string& message) {
    err << kProgram << ": error: " << subject << ": " << message << "\n";
    return kExitFailed;
}

namespace {

constexpr size_t kUsageWidth = 100;

// "--sign KEYFILE [--sequence N]": the option, its value and the options that go only with it.
std::string OptionText(const CommandSpec& command, const OptionSpec& option) {
    std::string text = option.shortName ? std::string(option.shortName) : option.name;
    if (option.value) text += std::string(" ") + option.value;
    for (const OptionSpec& inner : command.options)
        if (inner.within && std::string(inner.within) == option.name) text += " [" + OptionText(command, inner) + "]";
    return text;
}

// The synopsis in the pieces a line may break between.
std::vector<std::string> SynopsisWords(const CommandSpec& command) {
    std::vector<std::string> words = {command.name};
    std::string operands = command.operands;
    for (size_t begin = 0; begin < operands.size();) {
        const size_t space = std::min(operands.find(' ', begin), operands.size());
        if (space > begin) words.push_back(operands.substr(begin, space - begin));
        begin = space + 1;
    }
    for (const OptionSpec& option : command.options) {
        if (option.within) continue;
        const std::string text = OptionText(command, option);
        switch (option.use) {
            case OptionSpec::kRequired:
                words.push_back(text);
                break;
            case OptionSpec::kOptional:
                words.push_back("[" + text + "]");
                break;
            case OptionSpec::kRequiredRepeatable:
                words.push_back(text + " [" + text + " ...]");
                break;
            case OptionSpec::kRepeatable:
                words.push_back("[" + text + " ...]");
                break;
        }
    }
    return words;
}

}  // namespace

std::string Synopsis(const CommandSpec& command, size_t indent, const std::string& contIndent) {
    std::string text;
    size_t column = indent;
    for (const std::string& word : SynopsisWords(command)) {
        if (text.empty()) {
            text = word;
            column += word.size();
        } else if (column + 1 + word.size() > kUsageWidth) {
            text += "\n" + contIndent + word;
            column = contIndent.size() + word.size();
        } else {
            text += " " + word;
            column += 1 + word.size();
        }
    }
    return text;
}

std::string CommandHelp(const CommandSpec& command) {
    const std::string lead = std::string("usage: ") + kProgram + " ";
    return lead + Synopsis(command, lead.size(), "           ") + "\n\n" + command.details;
}

std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string RightAligned(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::vector<std::string> CommandLine::Values(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [n, v] : options)
        if (n == name) values.push_back(v);
    return values;
}

bool ParseCommandLine(const std::vector<std::string>& args, const CommandSpec& command, CommandLine* line,
                      std::string* error) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-') {
            line->positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = a, value;
        bool haveValue = false;
        const size_t equals = a.find('=');
        if (a.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = a.substr(0, equals);
            value = a.substr(equals + 1);
            haveValue = true;
        }
        const OptionSpec* option = nullptr;
        for (const OptionSpec& o : command.options)
            if (name == o.name || (!haveValue && o.shortName && name == o.shortName)) option = &o;
        if (!option) {
            *error = "unknown option " + SanitizeUtf8(a);
            return false;
        }
        name = option->name;
        if (!option->value && haveValue) {
            *error = name + " takes no value";
            return false;
        }
        if (option->value && !haveValue) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            value = args[++i];
        }
        const bool repeatable =
            option->use == OptionSpec::kRepeatable || option->use == OptionSpec::kRequiredRepeatable;
        if (line->Has(name) && !repeatable) {
            *error = "only one " + name;
            return false;
        }
        line->options.emplace_back(name, value);
    }
    return true;
}

namespace {

void PrintTimes(const std::string& previousShown, const PreviousRelease& previous, const TimesOutcome& outcome,
                std::ostream& out, std::ostream& err) {
    for (const std::string& w : outcome.warnings) err << kProgram << ": warning: " << w << "\n";
    out << "times from " << previous.compared << "\n";
    if (previous.unreadable > 0) {
        out << "  " << previous.unreadable << " entries of " << previousShown
            << " could not be listed; files of those paths count as changed\n";
    }
    out << "  kept: " << outcome.kept << (outcome.kept == 1 ? " file" : " files") << "; changed or new (clients fetch "
        << (outcome.changes.size() == 1 ? "it" : "them") << "): " << outcome.changes.size() << "\n";
    for (const TimeChange& c : outcome.changes) {
        static const char* const kWhy[] = {"new", "size", "bytes", "renewed", "unknown"};
        out << "  " << Padded(kWhy[c.kind], 9) << c.shown;
        if (c.kind == TimeChange::kRenewed)
            out << " (" << (c.note.empty() ? "other bytes with the previous size and time" : c.note)
                << ": given the current time)";
        if (c.kind == TimeChange::kUncompared) out << " (" << c.note << "; keeps its own time)";
        out << "\n";
    }
}

}  // namespace

ReleaseRequest ReleaseRequestFrom(const CommandLine& line, const std::string& refusedNote) {
    ReleaseRequest request;
    request.release = line.positional.at(0);
    request.baseUrls = line.Values("--base-url");
    const std::vector<std::string> timesFrom = line.Values("--times-from");
    if (!timesFrom.empty()) request.timesFrom = timesFrom[0];
    request.refusedNote = refusedNote;
    return request;
}

int PrepareRelease(const ReleaseRequest& request, std::ostream& out, std::ostream& err, PreparedRelease* prepared) {
    const std::string releaseShown = HostTextForDisplay(request.release);
    if (GetPathKind(request.release) != PathKind::kDirectory) return Failure(err, releaseShown, "not a folder");
    PreviousRelease previous;
    const std::string previousShown = HostTextForDisplay(request.timesFrom);
    std::string error;
    if (!request.timesFrom.empty() && !LoadPreviousRelease(request.timesFrom, &previous, &error))
        return Failure(err, "--times-from " + previousShown, error);

    std::vector<ReleaseFile>& files = prepared->files;
    Findings findings;
    ScanRelease(request.release, &files, &findings);
    CheckRelease(files, request.baseUrls, &findings);
    if (request.extraChecks) request.extraChecks(files, &findings);
    for (const Finding& f : findings) {
        err << kProgram << (f.kind == Finding::kError ? ": error: " : ": warning: ") << f.subject << ": " << f.text
            << "\n";
    }
    if (const int errors = CountErrors(findings)) {
        err << kProgram << ": refused: " << errors << (errors == 1 ? " error" : " errors") << "; "
            << request.refusedNote << "\n";
        return kExitFailed;
    }
    SortByPath(&files);
    if (!request.timesFrom.empty()) {
        TimesOutcome outcome;
        ApplyPreviousTimes(&files, previous, CurrentFileTime(), &outcome, !request.dryRun);
        PrintTimes(previousShown, previous, outcome, out, err);
    }

    prepared->catalogue = EncodeCatalogue(request.baseUrls, files);
    // The updater's own parser must read back exactly what was meant, before anyone can fetch it.
    CatalogueView view;
    HandCatalogue(*view.engine, prepared->catalogue);
    if (!view.engine->ParseCatalogue() || view.engine->serverCount != static_cast<int32_t>(files.size()) ||
        view.engine->baseUrlCount != static_cast<int32_t>(request.baseUrls.size())) {
        return Failure(err, "catalogue",
                       std::string("internal error: the written catalogue does not read back (") +
                           DescribeVerdict(view.engine->lastVerdict()) + ")");
    }
    return kExitOk;
}

void PrintWritten(const std::string& shown, const PreparedRelease& prepared, size_t baseUrls, std::ostream& out) {
    uint64_t total = 0;
    for (const ReleaseFile& f : prepared.files) total += f.size;
    const size_t n = prepared.files.size();
    out << "wrote " << shown << ": " << n << (n == 1 ? " file, " : " files, ") << total << " bytes in all, " << baseUrls
        << (baseUrls == 1 ? " base URL" : " base URLs") << "; catalogue of " << prepared.catalogue.size() << " bytes\n";
}

}  // namespace tarn::tool
