// How a side-by-side store resolves an assembly that a manifest asks for: a
// store of the row's own, in a scratch folder, named as the platform names
// its manifests. Wine's own store holds only what Wine ships, and only for the
// architectures it has, so the rules are shown on stores made for the row.
#include "checks/loader/SideBySide.h"
#include "harness/Harness.h"

#include <gtest/gtest.h>

namespace {

const char kToken[] = "1fc8b3b9a1e18e3b";

struct StoreCase {
    const char* name;
    const char* version;
    const char* architecture; // as the manifest says it
    int bits;                 // of the loading process
    // The store's manifests: "ARCH VERSION" for the assembly, "ARCH
    // policy.MAJOR.MINOR VERSION" for a publisher's policy to VERSION.
    std::vector<std::string> store;
    bool installed;
    const char* redirectedTo;
};

void PrintTo(const StoreCase& row, std::ostream* out) {
    *out << row.name;
}

const StoreCase kStoreCases[] = {
    {"AnyArchitectureIsThe64BitProcesssOwn", "1.0.0.0", "*", 64, {"x86 1.0.0.0"}, false, ""},
    {"AnyArchitectureFoundFor64Bits", "1.0.0.0", "*", 64, {"amd64 1.0.0.0"}, true, ""},
    {"AnyArchitectureIsThe32BitProcesssOwn", "1.0.0.0", "*", 32, {"amd64 1.0.0.0"}, false, ""},
    {"NoArchitectureSaidFoundFor32Bits", "1.0.0.0", "", 32, {"x86 1.0.0.0"}, true, ""},
    {"ArchitectureSaidIsTaken", "1.0.0.0", "x86", 64, {"x86 1.0.0.0"}, true, ""},
    {"PolicyToAVersionNotInstalled",
     "1.0.0.0",
     "amd64",
     64,
     {"amd64 policy.1.0 1.0.5.0"},
     false,
     ""},
    {"PolicyToAnInstalledVersion",
     "1.0.0.0",
     "amd64",
     64,
     {"amd64 policy.1.0 1.0.5.0", "amd64 1.0.5.0"},
     true,
     "1.0.5.0"},
    {"NewestPolicyTargetThatIsInstalled",
     "1.0.0.0",
     "amd64",
     64,
     {"amd64 policy.1.0 1.0.9.0", "amd64 policy.1.0 1.0.5.0", "amd64 1.0.5.0"},
     true,
     "1.0.5.0"},
    {"PolicyOfAnotherMinorVersion",
     "1.0.0.0",
     "amd64",
     64,
     {"amd64 policy.1.1 1.1.2.0", "amd64 1.1.2.0"},
     false,
     ""},
    {"PolicyToAnOlderVersion",
     "1.0.3.0",
     "amd64",
     64,
     {"amd64 policy.1.0 1.0.1.0", "amd64 1.0.1.0"},
     false,
     ""},
    {"PolicyOfTheOtherArchitecture",
     "1.0.0.0",
     "*",
     64,
     {"x86 policy.1.0 1.0.5.0", "x86 1.0.5.0", "amd64 1.0.5.0"},
     false,
     ""},
};

// The store's file name for "ARCH [policy.M.N] VERSION".
std::string ManifestName(const std::string& said) {
    std::string architecture = said.substr(0, said.find(' '));
    std::string rest = said.substr(said.find(' ') + 1);
    std::string policy;
    if (rest.compare(0, 7, "policy.") == 0) {
        policy = rest.substr(0, rest.find(' ')) + ".";
        rest = rest.substr(rest.find(' ') + 1);
    }
    return architecture + "_" + policy + "pendreg.sample_" + kToken + "_" + rest +
           "_none_0123456789abcdef.manifest";
}

class SideBySideStore : public testing::TestWithParam<StoreCase> {};

TEST_P(SideBySideStore, ResolvesAsTheLoaderDoes) {
    const StoreCase& row = GetParam();
    harness::ScratchFolder store;
    for (const std::string& manifest : row.store) {
        store.Write("Manifests\\" + ManifestName(manifest), "<assembly/>");
    }
    AssemblyIdentity asked = {"Pendreg.Sample", row.version, row.architecture, kToken};

    StoreResolution resolved =
        ResolveInStore(std::wstring(store.path().begin(), store.path().end()), asked, row.bits);

    EXPECT_EQ(row.installed, resolved.installed);
    EXPECT_EQ(row.redirectedTo, resolved.redirectedTo);
}

INSTANTIATE_TEST_SUITE_P(Checks, SideBySideStore, testing::ValuesIn(kStoreCases),
                         [](const testing::TestParamInfo<StoreCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
