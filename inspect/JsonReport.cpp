// The report as one JSON document. The findings arrive in the order of the
// lines, and the document is written as they come, in parts that are put
// together at the end: the findings on the whole key and run (some come
// before the work sets, some after), the work sets with their entries, and
// the RunOnce values with their copies' checks.
#include "inspect/Inspect.h"

#include "checks/text/Json.h"
#include "companion/OutputLog.h"
#include "pending/PendingStore.h"

#include <stdio.h>

namespace {

// Where the next finding goes.
enum class Scope { Run, WorkSet, Entry, ArmingValue, Arming };

struct JsonDocument {
    bool inUse = false;
    Scope scope = Scope::Run;
    JsonWriter header;
    JsonWriter findings;
    // The work sets' elements; a work set's "findings" stays open until its
    // first entry, and its "entries" until the next work set.
    JsonWriter workSets;
    bool entriesOpen = false;
    JsonWriter values;
    JsonWriter armingFindings;
};

JsonDocument& Document() {
    static JsonDocument document;
    return document;
}

void CloseEntry(JsonDocument& document) {
    if (document.scope == Scope::Entry) {
        document.workSets.Close(']');
        document.workSets.Close('}');
        document.scope = Scope::WorkSet;
    }
}

void CloseWorkSet(JsonDocument& document) {
    CloseEntry(document);
    if (document.scope == Scope::WorkSet) {
        document.workSets.Close(']');
        if (!document.entriesOpen) {
            document.workSets.Key("entries");
            document.workSets.Open('[');
            document.workSets.Close(']');
        }
        document.workSets.Close('}');
        document.entriesOpen = false;
        document.scope = Scope::Run;
    }
}

void CloseValue(JsonDocument& document) {
    if (document.scope == Scope::ArmingValue) {
        document.values.Close(']');
        document.values.Close('}');
        document.scope = Scope::Arming;
    }
}

void Count(JsonWriter& json, const char* name, unsigned count) {
    json.Key(name);
    json.Number(count);
}

void WriteSummary(JsonWriter& json, const Tally& tally) {
    json.Key("summary");
    json.Open('{');
    Count(json, "work_sets", tally.workSets);
    Count(json, "entries_run", tally.entriesRun);
    Count(json, "entries_skipped", tally.entriesSkipped);
    Count(json, "work_sets_that_run_nothing", tally.workSetsUnrun);
    Count(json, "work_sets_that_stay", tally.workSetsKept);
    Count(json, "checks_failed", tally.checksFailed);
    Count(json, "warnings", tally.warnings);
    Count(json, "work_sets_in_the_other_view", tally.otherView);
    Count(json, "unsafe_placements", tally.unsafe);
    Count(json, "arming_values", tally.armingValues);
    json.Key("key_unreadable");
    json.Bool(tally.keyUnreadable);
    json.Close('}');
}

} // namespace

void UseJsonReport() {
    Document().inUse = true;
}

bool JsonReportInUse() {
    return Document().inUse;
}

void JsonHeader(const InspectOptions& options, const PassFolder& pass, bool rightsReadByRules) {
    JsonWriter& json = Document().header;
    json.Key("key");
    json.Open('{');
    json.Key("path");
    json.String(std::string("HKLM\\") + PendingKeyPath);
    json.Key("view");
    json.Number(options.files.toolBits);
    json.Close('}');
    json.Key("tool");
    json.Open('{');
    json.Key("path");
    json.String(options.toolPath);
    json.Key("chosen");
    json.String(options.toolChosen.empty() ? "named by --tool" : options.toolChosen);
    json.Key("child_bits");
    json.Number(options.files.toolBits);
    json.Close('}');
    json.Key("pass_folder");
    json.Open('{');
    json.Key("path");
    json.String(ReportText(pass.folder));
    json.Key("after_windows_folder");
    json.Bool(pass.afterWindowsFolder);
    json.Close('}');
    json.Key("rights_read_from_access_lists");
    json.Bool(rightsReadByRules);
    json.StringOrNull("work_set_named", options.workSet);
    json.Key("strict");
    json.Bool(options.strict);
}

void JsonFinding(const Finding& finding) {
    JsonDocument& document = Document();
    switch (document.scope) {
    case Scope::Run:
        WriteFinding(document.findings, finding);
        break;
    case Scope::WorkSet:
    case Scope::Entry:
        WriteFinding(document.workSets, finding);
        break;
    case Scope::ArmingValue:
        WriteFinding(document.values, finding);
        break;
    case Scope::Arming:
        WriteFinding(document.armingFindings, finding);
        break;
    }
}

void JsonWorkSet(const std::string& shownName) {
    JsonDocument& document = Document();
    if (!document.inUse) {
        return;
    }
    CloseWorkSet(document);
    JsonWriter& json = document.workSets;
    json.Open('{');
    json.Key("name");
    json.String(shownName);
    json.Key("findings");
    json.Open('[');
    document.scope = Scope::WorkSet;
}

void JsonEntry(const JsonEntryFacts& entry) {
    JsonDocument& document = Document();
    if (!document.inUse) {
        return;
    }
    CloseEntry(document);
    JsonWriter& json = document.workSets;
    if (!document.entriesOpen) {
        json.Close(']');
        json.Key("entries");
        json.Open('[');
        document.entriesOpen = true;
    }
    json.Open('{');
    json.Key("index");
    json.Number(entry.first);
    if (entry.last != entry.first) {
        json.Key("last");
        json.Number(entry.last);
    }
    json.StringOrNull("mode", entry.mode);
    json.StringOrNull("kind", entry.mode.substr(0, 1));
    json.StringOrNull("file", entry.file);
    json.StringOrNull("command_line", entry.commandLine);
    json.Key("findings");
    json.Open('[');
    document.scope = Scope::Entry;
}

void JsonEndWorkSets() {
    if (Document().inUse) {
        CloseWorkSet(Document());
    }
}

void JsonArmingValue(const std::string& name, int viewBits, const std::string& command,
                     const std::string& copy) {
    JsonDocument& document = Document();
    if (!document.inUse) {
        return;
    }
    CloseValue(document);
    JsonWriter& json = document.values;
    json.Open('{');
    json.Key("name");
    json.String(name);
    json.Key("view");
    json.Number(static_cast<uint64_t>(viewBits));
    json.Key("command");
    json.String(command);
    json.Key("copy");
    json.String(copy);
    json.Key("findings");
    json.Open('[');
    document.scope = Scope::ArmingValue;
}

void JsonEndArming() {
    JsonDocument& document = Document();
    if (document.inUse) {
        CloseValue(document);
        document.scope = Scope::Arming;
    }
}

void WriteJsonReport(const InspectOptions& options, const Tally& tally, int exitCode) {
    JsonDocument& document = Document();
    JsonWriter json;
    json.Open('{');
    json.Key("format");
    json.Number(kJsonReportFormat);
    json.Key("program");
    json.String("pendreg-inspect");
    json.Raw(document.header.text());
    json.Array("findings", document.findings);
    json.Array("work_sets", document.workSets);
    json.Key("arming");
    json.Open('{');
    json.Array("values", document.values);
    json.StringOrNull("copy_taken", options.takenCopy);
    json.Array("findings", document.armingFindings);
    json.Close('}');
    WriteSummary(json, tally);
    json.Key("exit_code");
    json.Number(static_cast<uint64_t>(exitCode));
    json.Close('}');
    Emit(stdout, (json.text() + "\n").c_str());
}
