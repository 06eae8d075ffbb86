#include "checks/text/Findings.h"

void AddFinding(Findings& findings, FindingCode code,
                std::initializer_list<FindingArgument> arguments) {
    findings.push_back(MakeFinding(code, arguments));
}
