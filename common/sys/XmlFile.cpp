// File operations of the exported TinyXML document that take a flag saying
// whether the file name is UTF-8 (opened through the wide runtime function)
// or in the ANSI code page.
#include "Utility.h"

#include <tinyxml.h>

#include <cstdio>

namespace {

FILE *open_file(char const *name, char const *mode, bool utf8) {
    FILE *file = nullptr;
    if (name == nullptr)
        return nullptr;
    if (utf8) {
        std::wstring wname = zem::vfs::Utility::utf82w(name, ~0ull);
        std::wstring wmode = zem::vfs::Utility::utf82w(mode, ~0ull);
        // A name that is not valid UTF-8 would be converted with replacement
        // characters and name another file: it must come back unchanged.
        if (wname.empty() || zem::vfs::Utility::w2utf8(wname) != name)
            return nullptr;
        if (_wfopen_s(&file, wname.c_str(), wmode.c_str()) != 0)
            return nullptr;
    } else if (fopen_s(&file, name, mode) != 0) {
        return nullptr;
    }
    return file;
}

} // namespace

bool TiXmlDocument::LoadFile(const char *filename, TiXmlEncoding encoding, bool utf8) {
    SetValue(filename ? filename : "");
    FILE *file = open_file(Value(), "rb", utf8);
    if (file == nullptr) {
        // Records nothing when the document already holds an error.
        SetError(TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    bool parsed = LoadFile(file, encoding);
    std::fclose(file);
    return parsed;
}

bool TiXmlDocument::LoadFile(TiXmlEncoding encoding, bool utf8) {
    std::string name = ValueStr();
    return LoadFile(name.c_str(), encoding, utf8);
}

bool TiXmlDocument::SaveFile(const char *filename, bool utf8) const {
    FILE *file = open_file(filename, "w", utf8);
    if (file == nullptr)
        return false;
    bool written = SaveFile(file);
    return std::fclose(file) == 0 && written;
}
