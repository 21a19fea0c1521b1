// The TinyXML document's file operations with the UTF-8 flag: names with
// non-ASCII characters, the same bytes taken in the ANSI code page, missing
// and unopenable files.
#include <tinyxml.h>

#include "../../common/sys/Utility.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

using zem::vfs::Utility;
using zem::vfs::test::file_exists;
using zem::vfs::test::read_file;
using zem::vfs::test::TempFolder;
using zem::vfs::test::write_file;

namespace {

// "Grüße 日本.xml" in UTF-8.
std::string const kName = "Gr\xC3\xBC\xC3\x9F"
                          "e \xE6\x97\xA5\xE6\x9C\xAC.xml";
std::wstring const kWideName = L"Gr\u00FC\u00DFe \u65E5\u672C.xml";

void fill(TiXmlDocument &doc) {
    doc.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
    TiXmlElement *root = new TiXmlElement("policy");
    root->SetAttribute("name", "Gr\xC3\xBC\xC3\x9F"
                               "e");
    root->LinkEndChild(new TiXmlText("body"));
    doc.LinkEndChild(root);
}

} // namespace

TEST(XmlFile, Utf8NameRoundTrips) {
    TempFolder folder(L"zem_xml");
    std::string const name = zem::vfs::test::narrow(folder.path()) + "\\" + kName;
    TiXmlDocument doc;
    fill(doc);
    ASSERT_TRUE(doc.SaveFile(name.c_str(), true));
    // Created under the Unicode name, not under its bytes.
    EXPECT_TRUE(file_exists(folder.file(kWideName)));
    EXPECT_FALSE(file_exists(Utility::a2w(name)));

    TiXmlDocument back;
    ASSERT_TRUE(back.LoadFile(name.c_str(), TIXML_ENCODING_UNKNOWN, true)) << back.ErrorDesc();
    EXPECT_EQ(std::string(back.Value()), name);
    TiXmlElement *root = back.RootElement();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(std::string(root->Value()), "policy");
    EXPECT_EQ(std::string(root->Attribute("name")), "Gr\xC3\xBC\xC3\x9F"
                                                    "e");
    EXPECT_EQ(std::string(root->GetText()), "body");

    // The form without a name loads the stored one again.
    TiXmlDocument again(name.c_str());
    EXPECT_TRUE(again.LoadFile(TIXML_ENCODING_UNKNOWN, true));
    ASSERT_NE(again.RootElement(), nullptr);
}

TEST(XmlFile, SameBytesWithoutTheFlagAreAnsi) {
    TempFolder folder(L"zem_xml");
    std::string const name = zem::vfs::test::narrow(folder.path()) + "\\" + kName;
    TiXmlDocument doc;
    fill(doc);
    ASSERT_TRUE(doc.SaveFile(name.c_str(), false));
    // The bytes were taken as ANSI text: the file has the converted name.
    EXPECT_TRUE(file_exists(Utility::a2w(name)));
    EXPECT_FALSE(file_exists(folder.file(kWideName)));
    TiXmlDocument ansi;
    EXPECT_TRUE(ansi.LoadFile(name.c_str(), TIXML_ENCODING_UNKNOWN, false));
    TiXmlDocument utf8;
    EXPECT_FALSE(utf8.LoadFile(name.c_str(), TIXML_ENCODING_UNKNOWN, true));
}

TEST(XmlFile, MissingFileReportsFailedToOpen) {
    TempFolder folder(L"zem_xml");
    for (bool utf8 : {true, false}) {
        TiXmlDocument doc;
        std::string const name = zem::vfs::test::narrow(folder.path()) + "\\missing.xml";
        EXPECT_FALSE(doc.LoadFile(name.c_str(), TIXML_ENCODING_UNKNOWN, utf8));
        EXPECT_TRUE(doc.Error());
        EXPECT_EQ(doc.ErrorId(), TiXmlBase::TIXML_ERROR_OPENING_FILE);
        EXPECT_EQ(std::string(doc.ErrorDesc()), "Failed to open file");
        EXPECT_EQ(std::string(doc.Value()), name);
    }
    TiXmlDocument null_name;
    EXPECT_FALSE(null_name.LoadFile(nullptr, TIXML_ENCODING_UNKNOWN, true));
    EXPECT_EQ(std::string(null_name.ErrorDesc()), "Failed to open file");
    // Invalid UTF-8 names nothing.
    TiXmlDocument invalid;
    EXPECT_FALSE(invalid.LoadFile("\xFF\xFE.xml", TIXML_ENCODING_UNKNOWN, true));
    // ...and never becomes a file named with replacement characters.
    invalid.Parse("<a/>");
    EXPECT_FALSE(invalid.SaveFile("zem_bad_\xC3.xml", true));
    EXPECT_EQ(GetFileAttributesW(L"zem_bad_\xFFFD.xml"), INVALID_FILE_ATTRIBUTES);
}

TEST(XmlFile, AnEarlierErrorIsNotReplaced) {
    TempFolder folder(L"zem_xml");
    std::wstring const broken = folder.file(L"broken.xml");
    ASSERT_TRUE(write_file(broken, "<a><b></a>"));
    TiXmlDocument doc;
    EXPECT_FALSE(
        doc.LoadFile(zem::vfs::test::narrow(broken).c_str(), TIXML_ENCODING_UNKNOWN, true));
    ASSERT_TRUE(doc.Error());
    int const first = doc.ErrorId();
    EXPECT_NE(first, TiXmlBase::TIXML_ERROR_OPENING_FILE);
    EXPECT_FALSE(doc.LoadFile((zem::vfs::test::narrow(folder.path()) + "\\missing.xml").c_str(),
                              TIXML_ENCODING_UNKNOWN, true));
    EXPECT_EQ(doc.ErrorId(), first);
}

TEST(XmlFile, SaveFailsWhereNoFileCanBeMade) {
    TempFolder folder(L"zem_xml");
    TiXmlDocument doc;
    fill(doc);
    EXPECT_FALSE(
        doc.SaveFile((zem::vfs::test::narrow(folder.path()) + "\\no folder\\x.xml").c_str(), true));
    EXPECT_FALSE(doc.SaveFile(
        (zem::vfs::test::narrow(folder.path()) + "\\no folder\\x.xml").c_str(), false));
    EXPECT_FALSE(doc.SaveFile(nullptr, true));
}

TEST(XmlFile, SavedInTextMode) {
    TempFolder folder(L"zem_xml");
    std::string const name = zem::vfs::test::narrow(folder.path()) + "\\text.xml";
    TiXmlDocument doc;
    fill(doc);
    ASSERT_TRUE(doc.SaveFile(name.c_str(), true));
    std::string const bytes = read_file(zem::vfs::test::widen(name));
    EXPECT_NE(bytes.find("\r\n"), std::string::npos);
    TiXmlDocument back;
    EXPECT_TRUE(back.LoadFile(name.c_str(), TIXML_ENCODING_UNKNOWN, true));
}
