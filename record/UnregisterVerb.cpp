// unregister: the uninstall's first step, while its files are still there:
// takes back what the pass registered for the product, by the entries that
// add noted for it. Before the restart the pass has registered nothing, and
// the notes stay for discard to forget; after it, each noted entry is
// unregistered, last first, as the pass registered it, except a file that
// another product still relies on. An entry that cannot be taken back is
// said and does not stop the others: an uninstall goes on.
#include "checks/paths/FileIdentity.h"
#include "record/ProductRecord.h"
#include "record/Record.h"
#include "record/Unregister.h"
#include "record/WorkSetWriter.h"

namespace {

// Whether another product's record names the file, in either view: what
// it registered is that product's too.
bool NamedByOthers(const Product& product, const std::wstring& file) {
    for (const Product& other : NotedProducts()) {
        if (SameName(other, product)) {
            continue;
        }
        for (int bits : {32, 64}) {
            for (const NewEntry& entry : NotedEntries(other, bits)) {
                if (SameFile(AnsiToWide(entry.file.c_str()), file)) {
                    return true;
                }
            }
        }
    }
    return false;
}

void TakeBack(const NewEntry& entry, int toolBits, bool namedByOthers) {
    const char* mode = entry.mode.c_str();
    const char* file = entry.file.c_str();
    std::string failure;
    if (namedByOthers) {
        Print("left registered (%s): %s: another product's record names it\n", mode, file);
    } else if (UnregisterEntry(entry, toolBits, &failure)) {
        Print("unregistered (%s): %s\n", mode, file);
    } else {
        Print("not unregistered (%s): %s: %s\n", mode, file, failure.c_str());
    }
}

} // namespace

int UnregisterVerb(const Arguments& arguments) {
    std::string name;
    if (!WorkSetName(arguments.workSet, &name)) {
        return kExitRefused;
    }
    int bits = arguments.toolBits;
    Product product = AnsiToWide(name.c_str());
    std::vector<NewEntry> noted = NotedEntries(product, bits);
    const char* said = nullptr;
    if (noted.empty()) {
        said = "nothing registered for \"%s\" in %s: no entries are noted for it\n";
    } else if (!RecordedEntries(bits, name).empty()) {
        said = "nothing unregistered for \"%s\": its work set in %s still waits for the pass, "
               "which has registered none of it\n";
    }
    if (said != nullptr) {
        Print(said, name.c_str(), KeyShown(bits).c_str());
        return kExitDone;
    }
    // Last first: what was registered later may rely on what came before. A
    // repair after the restart notes a file again: it is taken back once.
    std::vector<std::wstring> done;
    for (auto entry = noted.rbegin(); entry != noted.rend(); ++entry) {
        std::wstring file = AnsiToWide(entry->file.c_str());
        bool again = false;
        for (const std::wstring& taken : done) {
            again = again || SameFile(taken, file);
        }
        if (!again) {
            TakeBack(*entry, bits, NamedByOthers(product, file));
            done.push_back(file);
        }
    }
    return ForgetEntries(product, bits) ? kExitDone : kExitRefused;
}
