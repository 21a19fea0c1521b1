// Writes a few values and an object to a Stream over a file handle, prints
// the frame bytes as hex and reads them back.
#include <zem/vfs.h>

#include <windows.h>

#include <cstdio>
#include <string>

using namespace zem::vfs;

int main() {
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "zem", 0, path);

    unsigned char blob[5] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    {
        HandleStream out(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        out << 7 << "ab" << true << wchar_t(0x78) << ErrorCode(5);
        out.serialize(nullptr);
        out << Binary(blob, sizeof blob) << Stream::tag_finish;
        if (!out.good()) {
            std::printf("write failed: error %d\n", out.error());
            return 1;
        }
    }

    HandleStream in(
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    unsigned char bytes[256];
    uint64 n = in.get(bytes, sizeof bytes);
    std::printf("%llu bytes on the wire:\n", (unsigned long long)n);
    for (uint64 i = 0; i < n; ++i)
        std::printf("%02X%s", bytes[i], (i + 1) % 16 == 0 || i + 1 == n ? "\n" : " ");
    SetFilePointer(in.handle(), 0, nullptr, FILE_BEGIN);

    int i = 0;
    std::string text;
    bool flag = false;
    wchar_t wc = 0;
    ErrorCode code;
    Variable *none = reinterpret_cast<Variable *>(1);
    in >> i >> text >> flag >> wc >> code >> none;
    Binary back(nullptr, 0);
    Variable::release(in.load()); // "B" is not registered: consumes v:B:
    bool loaded = back.load(in);
    std::printf("read back: int %d, text \"%s\", bool %s, wchar 0x%04X, error %d, object %s\n", i,
                text.c_str(), flag ? "true" : "false", unsigned(wc), int(code.code),
                none ? "present" : "null");
    std::printf("binary: %s, %llu bytes:", loaded ? "loaded" : "failed",
                (unsigned long long)back.size());
    for (uint64 k = 0; k < back.size(); ++k)
        std::printf(" %02X", static_cast<unsigned char const *>(back.data())[k]);
    std::printf("\n");
    in.close();
    DeleteFileA(path);
    return loaded && i == 7 && text == "ab" ? 0 : 1;
}
