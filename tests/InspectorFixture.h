#pragma once
// What the inspector's tests share: a scratch folder with a copy of the tool
// that a RunOnce value arms, the fixtures their rows name, and the reading of
// a report against the lines a row wants. Every table of the inspector runs
// on it (InspectVerdictsTest.cpp, InspectDependenciesTest.cpp,
// InspectAgreementTest.cpp, InspectPlacementTest.cpp, InspectTest.cpp).
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kRenames[] = "PendingFileRenameOperations";
const char kEnvironment[] = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
const char kSampleLibId[] = "TypeLib\\{6F1C2B7E-93A4-4D05-B8E1-52C0D9A7E314}";
// The RunOnce value that arms the pass with the scratch folder's copy of the
// tool.
const char kArmName[] = "pendreg inspector test";
// A second product's, for the rows where two values start the pass.
const char kSecondArmName[] = "pendreg inspector test 2";

using Inspection = harness::Output;

// Runs the inspector with its standard output in a file, and returns its
// exit code and lines.
inline Inspection Inspect(const std::string& arguments, const std::string& dir) {
    return harness::RunCapturing(
        harness::Widen("\"" + harness::InspectorPath() + "\" " + arguments), dir);
}

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
    // ends in "*" stands for every line that begins with the rest.
    void ExpectReport(const Inspection& inspection, const std::vector<std::string>& lines,
                      DWORD exitCode) const {
        std::string report;
        for (const std::string& line : inspection.lines) {
            report += line + "\n";
        }
        EXPECT_EQ(exitCode, inspection.exitCode) << report;
        auto from = inspection.lines.begin();
        for (const std::string& wanted : lines) {
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
    const std::string& dir() const {
        return scratch_.path();
    }

    // The recorder's add, which some rows run, notes what it recorded in the
    // products' record too.
    harness::PendingKeyGuard pendingKey_;
    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
    harness::SavedValue savedRenames_{kSessionManager, kRenames};
    harness::SavedValue savedPath_{kEnvironment, "Path"};
    std::string tool_;
};
