// A client of the installed package: writes and reads a Stream, converts a
// path and builds a TinyXML document, all through the DLL.
#include <zem/vfs.h>

#include <cstdio>

int main() {
    using namespace zem::vfs;
    HandleStream none;
    none << 1;
    bool stream_ok = none.error() == 2; // no handle
    bool utility_ok = Utility::w2utf8(Utility::utf82w("C:\\x\\y")) == "C:\\x\\y" &&
                      Utility::file_in_path(L"C:\\x\\", L"c:/X/y");
    TiXmlDocument doc;
    doc.Parse("<a b='1'/>");
    bool xml_ok = doc.RootElement() != nullptr && doc.RootElement()->Attribute("b") != nullptr;
    char b64[8] = {0};
    bool base64_ok = Base64::encode("abc", 3, b64, sizeof b64) == 4;
    if (!(stream_ok && utility_ok && xml_ok && base64_ok)) {
        std::printf("client failed %d %d %d %d\n", stream_ok, utility_ok, xml_ok, base64_ok);
        return 1;
    }
    std::printf("client ok\n");
    return 0;
}
