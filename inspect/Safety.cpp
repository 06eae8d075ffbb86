// The report's lines on what arms the pass and on who may change what it
// runs.
#include "inspect/Inspect.h"

#include "checks/arming/Arming.h"
#include "checks/arming/CopySafety.h"
#include "checks/trust/AccessList.h"
#include "checks/trust/Exposure.h"

void SayHowRightsAreRead() {
    if (!PlatformAnswersForAnyPrincipal()) {
        Say(0, "safety: the platform here cannot be asked what another principal may do: "
               "rights are read from the access lists by the platform's rules");
    }
}

void InspectKeySafety(HKEY key, const std::string& what, const std::string& shown, int depth,
                      Tally& tally) {
    Findings findings;
    AddExposureFinding(findings, what, shown, Securable::Key, ExposureOfKey(key));
    Report(tally, depth, findings);
}

// The copy's own checks: there when the value runs, and safe.
static void InspectCopy(const std::wstring& copy, const InspectOptions& options, Tally& tally) {
    std::wstring lying;
    Report(tally, 1, CheckArmedCopy(copy, options.files.renames, &lying));
    if (!lying.empty()) {
        Report(tally, 1, CheckCopySafety(copy, lying));
    }
}

void InspectArming(const InspectOptions& options, Tally& tally) {
    std::vector<ArmingValue> values =
        FindArmingValues(AnsiToWide(options.toolPath), options.files.renames);
    if (values.empty() && tally.workSets == 0 && tally.otherView == 0) {
        SayVerdict(tally, 0, MakeFinding(FindingCode::NothingRecorded));
        return;
    }
    if (values.empty()) {
        JsonEndArming();
        SayFinding(tally, 0, MakeFinding(FindingCode::NotArmed));
        return;
    }
    for (const ArmingValue& value : values) {
        std::string command = ReportText(value.command);
        JsonArmingValue(ReportText(value.name), value.viewBits, command, ReportText(value.copy));
        SayVerdict(
            tally, 0,
            MakeFinding(FindingCode::Armed, {Words(ReportText(value.name)), Number(value.viewBits),
                                             Words(command), About(value.copy)}));
        InspectCopy(value.copy, options, tally);
    }
    JsonEndArming();
    // Another product's value is not this installer's to remove.
    if (values.size() > 1) {
        SayFinding(tally, 0, MakeFinding(FindingCode::ArmedSeveralTimes, {Number(values.size())}));
    }
}
