// The TinyXML document's file operations with the flag for UTF-8 names.
#include <tinyxml.h>

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <string>

using zem::vfs::Utility;
using namespace zem::vfs::test;

TEST(XmlFile, Utf8FlagNamesTheFile) {
    TempFolder folder(L"zem_xml");
    // "Grüße 日本.xml" in UTF-8; without the flag, the same bytes as ANSI text.
    std::string const name = folder.narrow_file("Gr\xC3\xBC\xC3\x9F"
                                                "e \xE6\x97\xA5\xE6\x9C\xAC.xml");
    std::wstring const unicode = folder.file(L"Gr\u00FC\u00DFe \u65E5\u672C.xml");
    std::string const missing = folder.narrow_file("missing.xml");
    for (bool utf8 : {true, false}) {
        SCOPED_TRACE(utf8);
        TiXmlDocument doc;
        doc.Parse(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><policy name=\"\xC3\xBC\">body</policy>");
        ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
        ASSERT_TRUE(doc.SaveFile(name.c_str(), utf8));
        EXPECT_EQ(file_exists(unicode), utf8);
        EXPECT_EQ(file_exists(Utility::a2w(name)), !utf8);
        EXPECT_NE(read_file(utf8 ? unicode : Utility::a2w(name)).find("\r\n"), std::string::npos);
        TiXmlDocument back, other;
        ASSERT_TRUE(back.LoadFile(name.c_str(), TIXML_ENCODING_UNKNOWN, utf8)) << back.ErrorDesc();
        EXPECT_EQ(std::string(back.Value()), name);
        EXPECT_EQ(std::string(back.RootElement()->Attribute("name")), "\xC3\xBC");
        EXPECT_TRUE(back.LoadFile(TIXML_ENCODING_UNKNOWN, utf8)); // the stored name again
        EXPECT_FALSE(other.LoadFile(name.c_str(), TIXML_ENCODING_UNKNOWN, !utf8));
        DeleteFileW(unicode.c_str());
        DeleteFileW(Utility::a2w(name).c_str());

        EXPECT_FALSE(doc.LoadFile(missing.c_str(), TIXML_ENCODING_UNKNOWN, utf8));
        EXPECT_EQ(doc.ErrorId(), TiXmlBase::TIXML_ERROR_OPENING_FILE);
        EXPECT_EQ(std::string(doc.Value()), missing);
    }
    TiXmlDocument doc;
    EXPECT_FALSE(doc.LoadFile(nullptr, TIXML_ENCODING_UNKNOWN, true));
    EXPECT_FALSE(doc.SaveFile(nullptr, true));
    // Invalid UTF-8 names nothing, and never a file of replacement characters.
    EXPECT_FALSE(doc.LoadFile("\xFF\xFE.xml", TIXML_ENCODING_UNKNOWN, true));
    doc.Parse("<a/>");
    EXPECT_FALSE(doc.SaveFile("zem_bad_\xC3.xml", true));
    EXPECT_FALSE(file_exists(L"zem_bad_\xFFFD.xml"));
}
