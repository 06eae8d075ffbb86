// Which RunOnce value's copy runs the pass: the values are read as the
// platform's start-up runs them, the 64-bit view first, and the first copy
// that is taken is the one that runs; every companion names that one.
#include "checks/Arming.h"
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "harness/Placement.h"

#include <gtest/gtest.h>

namespace {

struct TakenCase {
    const char* name;
    // Why each value's copy is not taken, in the order read; "" for one
    // that is.
    std::vector<const char*> notTaken;
    int taken; // its index; -1 for none
};

void PrintTo(const TakenCase& row, std::ostream* out) {
    *out << row.name;
}

const TakenCase kTakenCases[] = {
    {"FirstOfTwoTaken", {"", ""}, 0},
    {"FirstTakenAfterARefusedOne", {"ordinary users may change it", "", ""}, 1},
    {"OnlyTheLastTaken", {"not the tool", "not there", ""}, 2},
    {"NoneTaken", {"not the tool", "not there"}, -1},
    {"NoValues", {}, -1},
};

class ArmedCopyTaken : public testing::TestWithParam<TakenCase> {};

TEST_P(ArmedCopyTaken, IsTheFirstThatRuns) {
    const TakenCase& row = GetParam();
    std::vector<ArmedCopy> judged;
    for (const char* why : row.notTaken) {
        ArmedCopy copy = {};
        copy.value.name = L"value " + std::to_wstring(judged.size());
        copy.notTaken = why;
        judged.push_back(copy);
    }
    ArmedCopy taken;

    bool found = FindArmedCopy(judged, &taken);

    ASSERT_EQ(row.taken >= 0, found);
    if (found) {
        EXPECT_TRUE(taken.value.name == judged[row.taken].value.name)
            << "took the value at another place than " << row.taken;
    }
}

INSTANTIATE_TEST_SUITE_P(Checks, ArmedCopyTaken, testing::ValuesIn(kTakenCases),
                         [](const testing::TestParamInfo<TakenCase>& info) {
                             return std::string(info.param.name);
                         });

struct ViewOrderCase {
    const char* name;
    // The RunOnce values written, in this order: name and view.
    std::vector<std::pair<const char*, REGSAM>> written;
    // The names as read, in order, each with its view's bits.
    std::vector<std::pair<std::string, int>> read;
};

void PrintTo(const ViewOrderCase& row, std::ostream* out) {
    *out << row.name;
}

const ViewOrderCase kViewOrderCases[] = {
    {"SixtyFourBitViewFirstWhenWrittenLast",
     {{"pendreg view b", KEY_WOW64_32KEY}, {"pendreg view a", KEY_WOW64_64KEY}},
     {{"pendreg view a", 64}, {"pendreg view b", 32}}},
    {"SixtyFourBitViewFirstWhenWrittenFirst",
     {{"pendreg view a", KEY_WOW64_64KEY}, {"pendreg view b", KEY_WOW64_32KEY}},
     {{"pendreg view a", 64}, {"pendreg view b", 32}}},
    {"BothViewsOfOneName",
     {{"pendreg view a", KEY_WOW64_32KEY}, {"pendreg view a", KEY_WOW64_64KEY}},
     {{"pendreg view a", 64}, {"pendreg view a", 32}}},
};

class RunOnceViews : public testing::TestWithParam<ViewOrderCase> {
  protected:
    harness::RunOnceGuard first_{"pendreg view a"};
    harness::RunOnceGuard second_{"pendreg view b"};
};

TEST_P(RunOnceViews, AreReadSixtyFourBitFirst) {
    const ViewOrderCase& row = GetParam();
    for (const auto& value : row.written) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, harness::kRunOnceKey, 0,
                                               KEY_SET_VALUE | value.second, &key))
            << "no RunOnce key in that view";
        std::string command = "C:\\pendreg\\pendreg.exe /S";
        RegSetValueExA(key, value.first, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                       static_cast<DWORD>(command.size() + 1));
        RegCloseKey(key);
    }

    std::vector<std::pair<std::string, int>> read;
    for (const ArmingValue& value : ReadRunOnceValues()) {
        std::string name(value.name.begin(), value.name.end());
        if (name.compare(0, 13, "pendreg view ") == 0) {
            read.push_back({name, value.viewBits});
        }
    }

    EXPECT_EQ(row.read, read);
}

INSTANTIATE_TEST_SUITE_P(Checks, RunOnceViews, testing::ValuesIn(kViewOrderCases),
                         [](const testing::TestParamInfo<ViewOrderCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
