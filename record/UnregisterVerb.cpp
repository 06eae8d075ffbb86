// unregister: the uninstall's first step, while its files are still there:
// takes back what the pass registered for the product, by the entries that
// add noted for it. Before the restart the pass has registered nothing, and
// the notes stay for discard to forget; after it, each noted entry is
// unregistered, last first, as the pass registered it, except a file that
// another product still relies on. An entry that cannot be taken back is
// said and does not stop the others: an uninstall goes on.
#include "checks/RestartRenames.h"
#include "record/ProductRecord.h"
#include "record/Record.h"
#include "record/Unregister.h"
#include "record/WorkSetWriter.h"

namespace {

bool SameProduct(const Product& first, const Product& second) {
    // Products are key names, which the registry compares without case.
    return CompareStringOrdinal(first.c_str(), -1, second.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool SameEntryFile(const NewEntry& first, const NewEntry& second) {
    return SamePath(FullLongPath(AnsiToWide(first.file.c_str())),
                    FullLongPath(AnsiToWide(second.file.c_str())));
}

bool Names(const std::vector<NewEntry>& entries, const NewEntry& entry) {
    for (const NewEntry& other : entries) {
        if (SameEntryFile(other, entry)) {
            return true;
        }
    }
    return false;
}

// Another product whose record names the file, in either view, or empty:
// unregistering it would take its registration from that product too.
Product OtherProductNaming(const Product& product, const NewEntry& entry) {
    for (const Product& other : NotedProducts()) {
        if (SameProduct(other, product)) {
            continue;
        }
        for (int bits : {32, 64}) {
            if (Names(NotedEntries(other, bits), entry)) {
                return other;
            }
        }
    }
    return Product();
}

void TakeBack(const Product& product, const NewEntry& entry, int toolBits) {
    const char* mode = entry.mode.c_str();
    Product other = OtherProductNaming(product, entry);
    if (!other.empty()) {
        Print("left registered (%s): %s: the product \"%s\" still records it\n", mode,
              entry.file.c_str(), ReportText(other).c_str());
        return;
    }
    std::string failure;
    if (UnregisterEntry(entry, toolBits, &failure)) {
        Print("unregistered (%s): %s\n", mode, entry.file.c_str());
    } else {
        Print("not unregistered (%s): %s: %s\n", mode, entry.file.c_str(), failure.c_str());
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
    if (noted.empty()) {
        Print("nothing registered for \"%s\" in %s: no entries are noted for it\n", name.c_str(),
              KeyShown(bits).c_str());
        return kExitDone;
    }
    if (!RecordedEntries(bits, name).empty()) {
        Print("nothing unregistered for \"%s\": its work set in %s still waits for the pass, "
              "which has registered none of it\n",
              name.c_str(), KeyShown(bits).c_str());
        return kExitDone;
    }
    // Last first: what was registered later may rely on what came before.
    std::vector<NewEntry> done;
    for (auto entry = noted.rbegin(); entry != noted.rend(); ++entry) {
        // A repair after the restart notes a file again.
        if (!Names(done, *entry)) {
            TakeBack(product, *entry, bits);
            done.push_back(*entry);
        }
    }
    return ForgetEntries(product, bits) ? kExitDone : kExitRefused;
}
