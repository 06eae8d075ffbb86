// Child mode: "/D" and "/T" register one file inside the tool's own process,
// within the error-mode and OLE bracket, and always end with exit code 0.
#include "harness/Harness.h"

#include <gtest/gtest.h>

namespace {

const char kSampleLibId[] = "TypeLib\\{6F1C2B7E-93A4-4D05-B8E1-52C0D9A7E314}";

struct ChildModeCase {
    const char* name;
    const char* argument; // "{dir}" stands for the scratch folder, "{long}" for a
                          // path to sample.tlb of more than 1024 characters
    std::vector<std::string> events;
    bool typeLibraryRegistered;
};

const ChildModeCase kChildModeCases[] = {
    {"DllRegisteredAndUnloaded", "/D{dir}\\recorder.dll", {"register", "unload"}, false},
    {"DependencyFoundInDllFolder", "/D{dir}\\dep\\needsdep.dll", {"register-with-dep"}, false},
    {"PathWithInnerSpace", "/D{dir}\\with space\\recorder.dll", {"register", "unload"}, false},
    {"DllWithoutExportOnlyLoaded", "/D{dir}\\noexport.dll", {"load", "unload"}, false},
    {"MissingDllDoesNothing", "/D{dir}\\missing.dll", {}, false},
    {"EmptyDllPathDoesNothing", "/D", {}, false},
    {"LeadingSpaceBelongsToPath", "/D {dir}\\recorder.dll", {}, false},
    {"LowerCaseLetterDoesNothing", "/d{dir}\\recorder.dll", {}, false},
    {"TypeLibraryRegistered", "/T{dir}\\sample.tlb", {}, true},
    {"RejectedTypeLibraryNotRegistered", "/T{dir}\\broken.tlb", {}, false},
    {"DllAsTypeLibraryNotRegistered", "/T{dir}\\recorder.dll", {}, false},
    {"OverlongTypeLibraryPathNotRegistered", "/T{long}", {}, false},
};

std::string Expand(const std::string& text, const std::string& dir, const std::string& longPath) {
    return harness::ReplaceAll(harness::ReplaceAll(text, "{dir}", dir), "{long}", longPath);
}

// sample.tlb reached through enough "\." steps to need more than 1024 UTF-16
// units; the platform itself may well load such a path.
std::string OverlongPath(const std::string& dir) {
    std::string path = dir;
    while (path.size() < 1100) {
        path += "\\.";
    }
    return path + "\\sample.tlb";
}

class ChildMode : public testing::TestWithParam<ChildModeCase> {
  protected:
    void SetUp() override {
        harness::DeleteTree(HKEY_CLASSES_ROOT, kSampleLibId);
        scratch_.Copy(harness::FixturePath("recorder.dll"), "recorder.dll");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "with space\\recorder.dll");
        scratch_.Copy(harness::FixturePath("noexport.dll"), "noexport.dll");
        scratch_.Copy(harness::FixturePath("needsdep.dll"), "dep\\needsdep.dll");
        scratch_.Copy(harness::FixturePath("dephelper.dll"), "dep\\dephelper.dll");
        scratch_.Copy(harness::FixturePath("sample.tlb"), "sample.tlb");
        scratch_.Write("broken.tlb", "not a type library\r\n");
    }
    void TearDown() override {
        harness::DeleteTree(HKEY_CLASSES_ROOT, kSampleLibId);
    }

    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
};

TEST_P(ChildMode, RegistersTheNamedFileOnly) {
    const ChildModeCase& row = GetParam();
    std::string argument = Expand(row.argument, scratch_.path(), OverlongPath(scratch_.path()));
    std::string commandLine = "\"" + harness::ToolPath() + "\" " + argument;

    harness::RunResult result = harness::Run(commandLine, nullptr, scratch_.path().c_str());

    ASSERT_TRUE(result.finished) << "the tool did not end: " << commandLine;
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(row.events, log_.Events());
    EXPECT_EQ(row.typeLibraryRegistered, harness::KeyExists(HKEY_CLASSES_ROOT, kSampleLibId));
    for (const harness::Record& record : log_.Read()) {
        if (record.event != "register") {
            continue;
        }
        EXPECT_EQ(argument.substr(2), record.field("module"));
        EXPECT_EQ("1", record.field("ole")) << "OLE was not initialised around the registration";
        EXPECT_EQ("0x8001", record.field("errmode"));
    }
}

INSTANTIATE_TEST_SUITE_P(ChildMode, ChildMode, testing::ValuesIn(kChildModeCases),
                         [](const testing::TestParamInfo<ChildModeCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
