#include "checks/trust/Rights.h"

const Rights& RightsOf(Securable kind) {
    static const Rights kFile = {
        {{FILE_WRITE_DATA, "write to it"},
         {FILE_APPEND_DATA, "append to it"},
         {DELETE, "delete it"},
         {WRITE_DAC, "change its permissions"},
         {WRITE_OWNER, "take it over"}},
        {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS}};
    static const Rights kFolder = {{{FILE_ADD_FILE, "add files to it"},
                                    {FILE_DELETE_CHILD, "delete files in it"},
                                    {WRITE_DAC, "change its permissions"},
                                    {WRITE_OWNER, "take it over"}},
                                   kFile.mapping};
    // The loader never searches the folder of a staged file: adding files
    // beside it changes nothing, removing or replacing it does.
    static const Rights kStagingFolder = {{{FILE_DELETE_CHILD, "delete files in it"},
                                           {WRITE_DAC, "change its permissions"},
                                           {WRITE_OWNER, "take it over"}},
                                          kFile.mapping};
    static const Rights kKey = {{{KEY_SET_VALUE, "set values in it"},
                                 {KEY_CREATE_SUB_KEY, "create subkeys in it"},
                                 {WRITE_DAC, "change its permissions"},
                                 {WRITE_OWNER, "take it over"}},
                                {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS}};
    switch (kind) {
    case Securable::Key:
        return kKey;
    case Securable::Folder:
        return kFolder;
    case Securable::StagingFolder:
        return kStagingFolder;
    case Securable::File:
        break;
    }
    return kFile;
}

std::string Said(const Rights& rights, ACCESS_MASK granted) {
    std::string said;
    for (const Right& right : rights.changing) {
        if ((granted & right.mask) != 0) {
            said += (said.empty() ? "" : ", ") + std::string(right.said);
        }
    }
    return said;
}

ACCESS_MASK Changing(const Rights& rights) {
    ACCESS_MASK changing = 0;
    for (const Right& right : rights.changing) {
        changing |= right.mask;
    }
    return changing;
}
