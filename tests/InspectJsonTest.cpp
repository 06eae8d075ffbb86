// The inspector's JSON document, read by jq, against the text report of the
// same run: one row per outcome.
#include "InspectorFixture.h"

namespace {

using namespace inspector_test;

// row per outcome finds a finding of that outcome.
struct JsonCase {
    const char* name;
    std::vector<WorkSet> workSets;
    // "OUTCOME CODE" of a finding that must be there; for "ok", no finding
    // may be of another outcome.
    const char* finding;
    DWORD exitCode;
    Extra extra = Extra::None;
};

void PrintTo(const JsonCase& row, std::ostream* out) {
    *out << row.name;
}

class InspectorJson : public InspectorTest, public testing::WithParamInterface<JsonCase> {};

// The text report's lines that are findings: without the lines on what was
// read, the summary, indentation and tags.
std::multiset<std::string> FindingLines(const Inspection& text) {
    std::multiset<std::string> lines;
    for (std::string line : text.lines) {
        line.erase(0, line.find_first_not_of(' '));
        for (const char* tag : {"ok   ", "FAIL ", "WARN "}) {
            if (line.compare(0, 5, tag) == 0) {
                line.erase(0, 5);
            }
        }
        bool said = false;
        for (const char* head : {"key: ", "tool: ", "deps: ", "safety: ", "summary: "}) {
            said = said || line.compare(0, strlen(head), head) == 0;
        }
        if (!said) {
            lines.insert(line);
        }
    }
    return lines;
}

// jq's view of the document: "exit N", the summary as the text says it, then
// "message M", "outcome O CODE" for each finding and "runs L" for each
// entry's command line.
const char kJsonLines[] =
    "\"exit \\(.exit_code)\", "
    "(.summary | \"summary: work sets \\(.work_sets), entries run \\(.entries_run), entries "
    "skipped \\(.entries_skipped), work sets that run nothing \\(.work_sets_that_run_nothing), "
    "work sets that stay \\(.work_sets_that_stay), checks failed \\(.checks_failed), warnings "
    "\\(.warnings), work sets in the other view \\(.work_sets_in_the_other_view), unsafe "
    "placements \\(.unsafe_placements), RunOnce values that start the pass "
    "\\(.arming_values)\"), "
    "(.. | objects | select(has(\"code\")) | \"message \\(.message)\", "
    "\"outcome \\(.outcome) \\(.code)\"), "
    "(.work_sets[].entries[] | select(.command_line != null) | "
    "\"runs entry \\(.index) (\\(.mode)): runs \\(.command_line)\")";

TEST_P(InspectorJson, SaysWhatTheTextSays) {
    const JsonCase& row = GetParam();
    if (!harness::JqAvailable()) {
        GTEST_SKIP() << "jq runs only on Wine's Unix side";
    }
    ASSERT_TRUE(harness::RecordWorkSets(row.workSets, dir()));
    if (row.extra == Extra::Disarmed) {
        harness::DeleteRunOnce(kArmName);
    } else if (row.extra == Extra::ArmedTwice) {
        ASSERT_TRUE(harness::SetRunOnce(kSecondArmName, "\"" + tool_ + "\" /S"));
    }
    std::string arguments = "--view=64 --tool=\"" + tool_ + "\"";
    Inspection text = Inspect(arguments, dir());
    Inspection json = Inspect(arguments + " --format=json", dir());
    std::string file = scratch_.Write("report.json", json.text);
    std::vector<std::string> read;
    std::string error;
    ASSERT_TRUE(harness::RunJq(kJsonLines, file, &read, &error)) << error << "\nin:\n" << json.text;

    EXPECT_EQ(row.exitCode, text.exitCode) << text.text;
    EXPECT_EQ(text.exitCode, json.exitCode);
    ASSERT_GE(read.size(), 2u) << json.text;
    EXPECT_EQ("exit " + std::to_string(text.exitCode), read[0]);
    EXPECT_TRUE(text.Has(read[1])) << read[1] << "\nnot in:\n" << text.text;
    std::multiset<std::string> messages;
    std::multiset<std::string> outcomes;
    for (const std::string& line : read) {
        if (line.compare(0, 8, "message ") == 0) {
            messages.insert(line.substr(8));
        } else if (line.compare(0, 8, "outcome ") == 0) {
            outcomes.insert(line.substr(8));
        } else if (line.compare(0, 11, "runs entry ") == 0) {
            EXPECT_TRUE(text.Has("  " + line.substr(5))) << line << "\nnot in:\n" << text.text;
        }
    }
    EXPECT_EQ(FindingLines(text), messages) << json.text;
    EXPECT_NE(0u, outcomes.count(row.finding)) << row.finding << " not in:\n" << json.text;
    if (std::string(row.finding).compare(0, 3, "ok ") == 0) {
        for (const std::string& outcome : outcomes) {
            EXPECT_EQ(0u, outcome.compare(0, 3, "ok ")) << outcome;
        }
    }
}

const JsonCase kJsonCases[] = {
    {"Ok", {{"w", Entries({{"D", "a.dll"}, {"E", "exeserver.exe"}})}}, "ok file-present", 0},
    {"Warn", {{"w", Entries({{"D", "a.dll"}})}}, "warn armed-several-times", 0, Extra::ArmedTwice},
    {"Fail",
     {{"w", With(Entries({{"D", "a.dll"}}), {Dword("count", 0)})}},
     "fail work-set-runs-nothing",
     1},
    {"Refuse",
     {{"w", Entries({{"D", "noexport.dll"}, {"D", "missing.dll"}})}},
     "refuse no-register-export",
     1},
    {"NothingRecorded", {}, "ok nothing-recorded", 0, Extra::Disarmed},
    // Quotes, a tab and a character beyond ASCII in a work set's name, which
    // the text prints as they are.
    {"NamesThatJsonEscapes",
     {{"say \"\xE9\"\tnow", Entries({{"D", "a.dll"}})}},
     "ok work-set-runs",
     0},
};

INSTANTIATE_TEST_SUITE_P(Inspector, InspectorJson, testing::ValuesIn(kJsonCases),
                         [](const testing::TestParamInfo<JsonCase>& info) {
                             return std::string(info.param.name);
                         });

// Whether the process that loads an entry's file finds every module it
// needs, where the loader really looks, and whether ordinary users may
// change or slip in one. Each row places its fixtures, "place" or
// "place=fixture" (the fixture is the place's own name unless given), and

} // namespace
