#include "harness/Jq.h"

#include "harness/Harness.h"
#include "harness/Placement.h"

#include <windows.h>

#include <sstream>

namespace harness {

namespace {

// jq prints UTF-8; the reports the rows compare with are in the ANSI code
// page.
std::string AnsiOfUtf8(const std::string& text) {
    int units =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], units);
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), units, &ansi[0], bytes, nullptr, nullptr);
    return ansi;
}

// The files of one run beside the document, removed when the object goes.
struct JqFiles {
    explicit JqFiles(const std::string& file)
        : filter(file + ".jq"), script(file + ".sh"), output(file + ".out"), status(file + ".rc") {}
    ~JqFiles() {
        for (const std::string* path : {&filter, &script, &output, &status}) {
            DeleteFileA(path->c_str());
        }
    }
    std::string filter, script, output, status;
};

} // namespace

bool JqAvailable() {
    return RunningUnderWine() && FileExists("Z:\\usr\\bin\\jq");
}

bool RunJq(const std::string& filter, const std::string& file, std::vector<std::string>* lines,
           std::string* error) {
    JqFiles files(file);
    WriteWholeFile(files.filter, filter);
    // The status is written before the output appears under its name, so a
    // run that is seen to have ended has said how.
    WriteWholeFile(files.script, "jq -r -f \"$1\" \"$2\" > \"$3.part\" 2>&1\n"
                                 "echo $? > \"$4\"\n"
                                 "mv \"$3.part\" \"$3\"\n");
    std::string command = "/bin/sh \"" + UnixPathOf(files.script) + "\" \"" +
                          UnixPathOf(files.filter) + "\" \"" + UnixPathOf(file) + "\" \"" +
                          UnixPathOf(files.output) + "\" \"" + UnixPathOf(files.status) + "\"";
    if (!StartUnixProgram(command) || !Eventually([&] { return FileExists(files.output); })) {
        *error = "jq did not run, or did not end";
        return false;
    }
    std::string printed = AnsiOfUtf8(ReadFile(files.output));
    if (ReadFile(files.status).compare(0, 1, "0") != 0) {
        *error = printed;
        return false;
    }
    std::istringstream text(printed);
    lines->clear();
    for (std::string line; std::getline(text, line);) {
        lines->push_back(line);
    }
    return true;
}

} // namespace harness
