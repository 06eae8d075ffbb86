// The recorder's JSON document: what one verb did, for a program that runs
// the recorder. The lines the verb prints (and its complaints) are kept as
// they would be said, and add's judgements and entries as fields of their own.
#include "record/Record.h"

#include "checks/text/Json.h"
#include "companion/OutputLog.h"

#include <stdio.h>
#include <wchar.h>

namespace {

struct RecordDocument {
    bool inUse = false;
    std::string verb;
    // What Print wrote since its last line end.
    std::string pending;
    JsonWriter lines;
    JsonWriter findings;
    JsonWriter entries;
    std::string workSet;
    std::string inspection;
};

RecordDocument& Document() {
    static RecordDocument document;
    return document;
}

void AddLine(const char* stream, const std::string& text) {
    JsonWriter& json = Document().lines;
    json.Open('{');
    json.Key("stream");
    json.String(stream);
    json.Key("text");
    json.String(text);
    json.Close('}');
}

} // namespace

bool TakeFormatOption(int* argc, wchar_t** argv) {
    bool json = false;
    int kept = 0;
    for (int index = 0; index < *argc; ++index) {
        if (index > 0 && wcscmp(argv[index], L"--format=json") == 0) {
            json = true;
        } else {
            argv[kept++] = argv[index];
        }
    }
    *argc = kept;
    if (json) {
        Document().inUse = true;
        Document().verb = kept > 1 ? ReportText(argv[1]) : std::string();
    }
    return json;
}

bool JsonReportInUse() {
    return Document().inUse;
}

void JsonPrinted(const std::string& text) {
    RecordDocument& document = Document();
    document.pending += text;
    for (size_t end; (end = document.pending.find('\n')) != std::string::npos;) {
        AddLine("stdout", document.pending.substr(0, end));
        document.pending.erase(0, end + 1);
    }
}

void JsonComplained(const std::string& text) {
    AddLine("stderr", text);
}

void JsonFileFinding(const std::string& file, const Finding& finding) {
    JsonWriter& json = Document().findings;
    json.Open('{');
    json.Key("file");
    json.String(file);
    json.Key("finding");
    WriteFinding(json, finding);
    json.Close('}');
}

void JsonRecorded(const std::string& workSet, DWORD number, const std::string& mode,
                  const std::string& file, const std::string& commandLine) {
    RecordDocument& document = Document();
    document.workSet = workSet;
    JsonWriter& json = document.entries;
    json.Open('{');
    json.Key("index");
    json.Number(number);
    json.Key("mode");
    json.String(mode);
    json.Key("kind");
    json.String(mode.substr(0, 1));
    json.Key("file");
    json.String(file);
    json.Key("command_line");
    json.String(commandLine);
    json.Close('}');
}

void JsonInspection(const std::string& document) {
    Document().inspection = document;
}

void WriteJsonReport(int exitCode) {
    RecordDocument& document = Document();
    if (!document.pending.empty()) {
        JsonPrinted("\n");
    }
    JsonWriter json;
    json.Open('{');
    json.Key("format");
    json.Number(kJsonReportFormat);
    json.Key("program");
    json.String("pendreg-record");
    json.Key("verb");
    json.String(document.verb);
    json.StringOrNull("work_set", document.workSet);
    json.Array("entries", document.entries);
    json.Array("findings", document.findings);
    json.Key("inspection");
    if (document.inspection.empty()) {
        json.Null();
    } else {
        json.Raw(document.inspection);
    }
    json.Array("lines", document.lines);
    json.Key("exit_code");
    json.Number(static_cast<uint64_t>(exitCode));
    json.Close('}');
    Emit(stdout, (json.text() + "\n").c_str());
}
