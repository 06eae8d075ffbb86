#include "companion/ToolChoice.h"

#include <windows.h>

std::wstring ToolBesideThisProgram() {
    // The longest path there is: GetModuleFileNameW does not say how much
    // room a cut one needed.
    std::wstring own(32768, L'\0');
    own.resize(GetModuleFileNameW(nullptr, &own[0], static_cast<DWORD>(own.size())));
    return own.substr(0, own.find_last_of(L'\\') + 1) + L"pendreg.exe";
}

ToolChoice ChooseTool(const std::wstring& given, const std::vector<PendingRename>& renames) {
    ToolChoice choice;
    if (!given.empty()) {
        choice.path = given;
        return choice;
    }
    std::wstring beside = ToolBesideThisProgram();
    choice.judged = JudgeArmedCopies(beside, renames);
    if (FindArmedCopy(choice.judged, &choice.taken)) {
        choice.from = ToolFrom::ArmedCopy;
        choice.path = choice.taken.value.copy;
    } else {
        choice.from = ToolFrom::Beside;
        choice.path = beside;
    }
    return choice;
}
