// Stream buffers over real Windows handles: files and message-mode pipes.
#include "serialize/HandleStream.h"
#include "serialize/Variable.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <thread>

using namespace zem::vfs;

namespace {

bool is_open(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

struct TempFile {
    TempFile() {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        GetTempFileNameA(dir, "zst", 0, path);
    }
    ~TempFile() { DeleteFileA(path); }
    HANDLE open(DWORD access) {
        return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           0, nullptr);
    }
    char path[MAX_PATH];
};

} // namespace

TEST(HandleStreamBuf, FailuresAreRecordedAndNeverCleared) {
    HandleStreamBuf none;
    char c = 0;
    EXPECT_EQ(0u, none.get(&c, 1));
    EXPECT_EQ(2, none.error());
    EXPECT_FALSE(none.sync());
    EXPECT_EQ(0u, none.put("x", 1));
    TempFile file;
    HandleStreamBuf read_only(file.open(GENERIC_READ));
    EXPECT_EQ(0u, read_only.put("x", 1));
    EXPECT_EQ(1000 + ERROR_ACCESS_DENIED, read_only.error());
    EXPECT_EQ(0u, read_only.get(&c, 1)); // the end of the file is no error
    EXPECT_EQ(1000 + ERROR_ACCESS_DENIED, read_only.error());
    HANDLE h = file.open(GENERIC_WRITE);
    EXPECT_EQ(h, HandleStreamBuf(h).detach());
    EXPECT_TRUE(is_open(h));
    { HandleStreamBuf owner(h); }
    EXPECT_FALSE(is_open(h));
}

TEST(HandleStream, CopiesWriteThroughTheirOwnHandles) {
    TempFile file;
    HandleStream *original = new HandleStream(file.open(GENERIC_WRITE));
    HandleStream copy(*original), assigned;
    EXPECT_NE(copy.handle(), original->handle());
    *original << 1;
    delete original;
    copy << 2;
    assigned = copy;
    assigned << 3;
    EXPECT_TRUE(copy.good() && assigned.good());
    copy.close(), assigned.close();
    HandleStream in(file.open(GENERIC_READ));
    int a = 0, b = 0, c = 0, d = 42;
    in >> a >> b >> c >> d;
    EXPECT_EQ(1, a);
    EXPECT_EQ(2, b);
    EXPECT_EQ(3, c);
    EXPECT_EQ(42, d);
    EXPECT_EQ(Stream::error_truncated, in.error()); // the file ended inside a value
}

TEST(HandleStream, ValuesOverAMessagePipeAndABrokenOne) {
    std::string name = "\\\\.\\pipe\\zem_stream_" + std::to_string(GetCurrentProcessId());
    for (DWORD mode : {DWORD(PIPE_READMODE_BYTE), DWORD(PIPE_READMODE_MESSAGE)}) {
        HandleStream server(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_MESSAGE | mode, 1, 4096, 4096, 0, nullptr));
        HandleStream client(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
        SetNamedPipeHandleState(client.handle(), &mode, nullptr, nullptr);
        unsigned char blob[300];
        for (int i = 0; i < 300; ++i)
            blob[i] = static_cast<unsigned char>(i);
        std::thread writer([&] {
            client << 77 << std::string(5000, 'p') << Binary(blob, 300) << Stream::tag_finish;
        });
        int i = 0;
        std::string text;
        Binary b(nullptr, 0);
        server >> i >> text;
        EXPECT_EQ(nullptr, server.load());
        EXPECT_TRUE(b.load(server));
        char finish[2] = {0, 0};
        EXPECT_TRUE(server.read_(finish, 2)); // the writer's finish waits for this read
        writer.join();
        EXPECT_EQ(77, i);
        EXPECT_EQ(std::string(5000, 'p'), text);
        ASSERT_EQ(300u, b.size());
        EXPECT_EQ(0, std::memcmp(b.data(), blob, 300));
        client.close();
        server >> i;
        EXPECT_EQ(1000 + ERROR_BROKEN_PIPE, server.error());
    }
}
