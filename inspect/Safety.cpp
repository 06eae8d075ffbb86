// The report's lines on what arms the pass and on who may change what it
// runs.
#include "inspect/Inspect.h"

#include "checks/arming/Arming.h"
#include "checks/arming/CopySafety.h"
#include "checks/trust/AccessList.h"
#include "checks/trust/Exposure.h"

void ReportSafety(Tally& tally, int depth, const Findings& findings) {
    for (const Finding& finding : findings) {
        tally.unsafe += finding.outcome == Outcome::Fail ? 1 : 0;
        Say(depth, "%s%s", TagOf(finding.outcome), finding.text.c_str());
    }
}

void SayHowRightsAreRead() {
    if (!PlatformAnswersForAnyPrincipal()) {
        Say(0, "safety: the platform here cannot be asked what another principal may do: "
               "rights are read from the access lists by the platform's rules");
    }
}

void InspectKeySafety(HKEY key, const std::string& what, int depth, Tally& tally) {
    Findings findings;
    AddExposureFinding(findings, what, ExposureOfKey(key));
    ReportSafety(tally, depth, findings);
}

// The copy's own checks: there when the value runs, and safe.
static void InspectCopy(const std::wstring& copy, const InspectOptions& options, Tally& tally) {
    std::wstring lying;
    for (const Finding& finding : CheckArmedCopy(copy, options.files.renames, &lying)) {
        tally.checksFailed += finding.outcome == Outcome::Fail ? 1 : 0;
        Say(1, "%s%s", TagOf(finding.outcome), finding.text.c_str());
    }
    if (!lying.empty()) {
        ReportSafety(tally, 1, CheckCopySafety(copy, lying));
    }
}

void InspectArming(const InspectOptions& options, Tally& tally) {
    std::vector<ArmingValue> values =
        FindArmingValues(AnsiToWide(options.toolPath), options.files.renames);
    if (values.empty() && tally.workSets == 0 && tally.otherView == 0) {
        Say(0, "nothing recorded: no work set%s, and no RunOnce value starts the pass",
            options.workSet.empty() ? "" : " of that name");
        return;
    }
    if (values.empty()) {
        Say(0, "FAIL not armed: no RunOnce value under HKLM starts a copy of the tool with "
               "\"/S\", so nothing runs the pass at the next logon");
        ++tally.checksFailed;
        return;
    }
    for (const ArmingValue& value : values) {
        ++tally.armingValues;
        Say(0,
            "armed: RunOnce value \"%s\" (%d-bit view) runs %s when a member of Administrators "
            "next logs on; a standard user's logon does not run it",
            ReportText(value.name).c_str(), value.viewBits, ReportText(value.command).c_str());
        InspectCopy(value.copy, options, tally);
    }
    // Another product's value is not this installer's to remove.
    if (values.size() > 1) {
        Say(0,
            "%s%u RunOnce values start the pass: the first to run runs every work set, and "
            "the others find nothing left to do",
            TagOf(Outcome::Warn), static_cast<unsigned>(values.size()));
        ++tally.warnings;
    }
}
