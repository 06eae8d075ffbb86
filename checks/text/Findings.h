#pragma once
// What a check found: each finding has a code of the catalogue, whose
// outcome and words are the catalogue's, and what it is about. Checks return
// their findings instead of printing them, so that each companion reports
// them its own way, or refuses what failed.
#include "checks/text/Catalogue.h"
#include "checks/text/Text.h"

#include <string>
#include <vector>

using Findings = std::vector<Finding>;

void AddFinding(Findings& findings, FindingCode code,
                std::initializer_list<FindingArgument> arguments = {});
