#pragma once
// What the inspector's tables share: a scratch folder that only
// administrators may change, with a copy of the tool that a RunOnce value
// starts with "/S" and the fixtures the rows name; running the inspector and
// reading its JSON document's codes. It runs as the 64-bit test build does:
// "--view=64", so its view and its tool's child are 64-bit.
#include "companion/ExitCodes.h"
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"
#include "harness/Jq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace inspector_test {

using harness::Dword;
using harness::Entries;
using harness::Sz;
using harness::Value;
using harness::With;
using harness::Without;
using harness::WorkSet;

const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kRenames[] = "PendingFileRenameOperations";
const char kEnvironment[] = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
const char kSampleLibId[] = "TypeLib\\{6F1C2B7E-93A4-4D05-B8E1-52C0D9A7E314}";
// The RunOnce value that arms the pass with the scratch folder's copy of the
// tool.
const char kArmName[] = "pendreg inspector test";
// A second product's, for the rows where two values start the pass.
const char kSecondArmName[] = "pendreg inspector test 2";

// What the inspector said, and how it was run, for the rows that run it again
// for its JSON document.
struct Inspection : harness::Output {
    std::string arguments;
    std::string dir;
    // The findings of the JSON document, once read (ReadCodes).
    std::vector<std::string> codes;
    bool codesRead = false;
};

// Runs the inspector with its standard output in a file, and returns its
// exit code and lines.
inline Inspection Inspect(const std::string& arguments, const std::string& dir) {
    Inspection inspection;
    static_cast<harness::Output&>(inspection) = harness::RunCapturing(
        harness::Widen("\"" + harness::InspectorPath() + "\" " + arguments), dir);
    inspection.arguments = arguments;
    inspection.dir = dir;
    return inspection;
}

// Every finding of the inspector's JSON document for the same run, as
// "OUTCOME CODE", read by jq; the document's exit code must be the run's.
inline std::vector<std::string> InspectedCodes(const Inspection& inspection) {
    Inspection json = Inspect(inspection.arguments + " --format=json", inspection.dir);
    EXPECT_EQ(inspection.exitCode, json.exitCode) << json.text;
    std::string file = inspection.dir + "\\report.json";
    harness::WriteWholeFile(file, json.text);
    std::vector<std::string> codes;
    std::string error;
    EXPECT_TRUE(harness::RunJq("(.. | objects | select(has(\"code\") and has(\"outcome\")) | "
                               "\"\\(.outcome) \\(.code)\"), \"exit \\(.exit_code)\"",
                               file, &codes, &error))
        << error << "\nin:\n"
        << json.text;
    harness::RemoveFile(file);
    EXPECT_FALSE(codes.empty() || codes.back() != "exit " + std::to_string(json.exitCode))
        << json.text;
    return codes;
}

// A value of the machine's (the delayed-move list, the PATH): each test that
// changes it puts it back as it was.
using harness::SavedValue;

// The RunOnce value of the guide's sample, as the recorder's arm names it.
const char kSampleArmName[] = "pendreg";

// A scratch folder that only administrators may change, with a copy of the
// tool that a RunOnce value starts with "/S", and the fixtures the rows name.
class InspectorTest : public testing::Test {
  protected:
    void SetUp() override {
        harness::DeleteTree(HKEY_CLASSES_ROOT, kSampleLibId);
        ASSERT_TRUE(harness::KeepToAdministrators(dir()));
        tool_ = scratch_.Copy(harness::ToolPath(), "tool\\pendreg.exe");
        scratch_.Copy(harness::ToolPath(), "tool\\setup.exe");
        ASSERT_TRUE(harness::SetRunOnce(kArmName, "\"" + tool_ + "\" /S"));
        scratch_.Copy(harness::FixturePath("recorder.dll"), "a.dll");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "b.dll");
        scratch_.Copy(harness::FixturePath("recorder32.dll"), "rec32.dll");
        scratch_.Copy(harness::FixturePath("noexport.dll"), "noexport.dll");
        scratch_.Copy(harness::FixturePath("exeserver.exe"), "exeserver.exe");
        scratch_.Copy(harness::FixturePath("sample.tlb"), "sample.tlb");
        scratch_.Write("not a library.tlb", "plain text, no type library\r\n");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "new\\a.dll");
    }
    void TearDown() override {
        harness::DeleteRunOnce(kArmName);
        harness::DeleteRunOnce(kSecondArmName);
        harness::DeleteRunOnce(kSampleArmName);
        // Work sets whose names the ANSI functions cannot give go first.
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Zelk.Library.Cormant.v3");
        harness::RemovePendingKey();
        harness::DeleteTree(HKEY_CLASSES_ROOT, kSampleLibId);
    }

    std::string Expand(const std::string& text) const {
        std::string expanded = harness::ReplaceAll(text, "{tool}", tool_);
        expanded = harness::ReplaceAll(expanded, "{sys}", harness::SystemDirectory());
        expanded =
            harness::ReplaceAll(expanded, "{win}", harness::FolderOf(harness::SystemDirectory()));
        return harness::ReplaceAll(expanded, "{dir}", dir());
    }
    // The wanted lines must appear in the report in this order; one that
    // ends in "*" stands for every line that begins with the rest. One that
    // begins with "code: " ("code: refuse file-missing") is a finding of that
    // outcome and code in the JSON document of the same run, in any order: a
    // code wanted twice must be there twice.
    void ExpectReport(const Inspection& inspection, const std::vector<std::string>& lines,
                      DWORD exitCode) const {
        std::string report;
        for (const std::string& line : inspection.lines) {
            report += line + "\n";
        }
        EXPECT_EQ(exitCode, inspection.exitCode) << report;
        std::vector<std::string> codes;
        for (const std::string& wanted : lines) {
            if (wanted.compare(0, 6, "code: ") == 0) {
                codes.push_back(wanted.substr(6));
            }
        }
        ExpectCodes(inspection, codes);
        auto from = inspection.lines.begin();
        for (const std::string& wanted : lines) {
            if (wanted.compare(0, 6, "code: ") == 0) {
                continue;
            }
            std::string line = Expand(wanted);
            bool prefix = !line.empty() && line.back() == '*';
            line.resize(line.size() - (prefix ? 1 : 0));
            auto found = std::find_if(from, inspection.lines.end(), [&](const std::string& got) {
                return prefix ? got.compare(0, line.size(), line) == 0 : got == line;
            });
            EXPECT_NE(inspection.lines.end(), found)
                << "missing, or out of order: " << line << "\nin:\n"
                << report;
            from = found == inspection.lines.end() ? from : found + 1;
        }
    }
    void ExpectCodes(const Inspection& inspection, const std::vector<std::string>& wanted) const {
        if (wanted.empty()) {
            return;
        }
        if (!harness::JqAvailable()) {
            std::cout << "[ codes    ] not checked: jq runs only on Wine's Unix side\n";
            return;
        }
        std::vector<std::string> got =
            inspection.codesRead ? inspection.codes : InspectedCodes(inspection);
        std::string said;
        for (const std::string& code : got) {
            said += code + "\n";
        }
        for (const std::string& code : wanted) {
            auto found = std::find(got.begin(), got.end(), code);
            EXPECT_NE(got.end(), found) << "no finding " << code << " (or too few) in:\n" << said;
            if (found != got.end()) {
                got.erase(found);
            }
        }
    }
    const std::string& dir() const {
        return scratch_.path();
    }

    // The recorder's add, which some rows run, notes what it recorded in the
    // products' record too.
    harness::PendingKeyGuard pendingKey_;
    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
    SavedValue savedRenames_{kSessionManager, kRenames};
    SavedValue savedPath_{kEnvironment, "Path"};
    std::string tool_;
};

// What a row sets up besides its work sets.
enum class Extra {
    None,
    OtherView,
    ArrivesAtRestart,
    LeavesAtRestart,
    AnsiLoss,
    WorkSetsIn32BitView,
    // No RunOnce value starts the pass.
    Disarmed,
    // A second RunOnce value starts it too, as another product's would.
    ArmedTwice,
    // The recorder recorded work set "mine", which a pass then ran.
    CarriedOut
};

} // namespace inspector_test
