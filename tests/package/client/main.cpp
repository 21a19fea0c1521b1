// A client of the installed package: writes and reads a Stream, converts a
// path and builds a TinyXML document, all through the DLL. The umbrella
// header must leave the client's names alone: it brings neither <winternl.h>
// nor <winsvc.h>, a later <winsock2.h> does not warn, and a client may name
// its own ERROR.
#include <zem/vfs.h>

#if defined(_WINTERNL_) || defined(_WINSVC_) || defined(ERROR) || defined(Yield)
#error "<zem/vfs.h> leaks Windows headers or macros into the client"
#endif

// A client's own names, declared right after the library's header.
enum Level { ERROR, WARN };

#include <winsock2.h>

#include <cstdio>

int main() {
    using namespace zem::vfs;
    HandleStream none;
    none << 1;
    none << DWORD(1) << 2L << 3UL;
    bool stream_ok = none.error() == 2; // no handle
    bool utility_ok = Utility::w2utf8(Utility::utf82w("C:\\x\\y")) == "C:\\x\\y" &&
                      Utility::file_in_path(L"C:\\x\\", L"c:/X/y");
    TiXmlDocument doc;
    doc.Parse("<a b='1'/>");
    bool xml_ok = doc.RootElement() != nullptr && doc.RootElement()->Attribute("b") != nullptr;
    char b64[8] = {0};
    bool base64_ok = Base64::encode("abc", 3, b64, sizeof b64) == 4;
    if (!(stream_ok && utility_ok && xml_ok && base64_ok && WARN == 1)) {
        std::printf("client failed %d %d %d %d\n", stream_ok, utility_ok, xml_ok, base64_ok);
        return 1;
    }
    std::printf("client ok\n");
    return 0;
}
