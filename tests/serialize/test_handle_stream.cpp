// Stream buffers over real Windows handles: files and named pipes.
#include "serialize/HandleStream.h"
#include "serialize/Variable.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <cstring>

using namespace zem::vfs;

namespace {

bool handle_open(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

std::string temp_file() {
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "zst", 0, path);
    return path;
}

HANDLE open_file(std::string const &path, DWORD access, DWORD disposition) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A connected pair of message-mode pipe ends (server side, client side).
struct PipePair {
    HANDLE server = INVALID_HANDLE_VALUE, client = INVALID_HANDLE_VALUE;
    explicit PipePair(DWORD read_mode) {
        std::string name = "\\\\.\\pipe\\zem_stream_test_" + std::to_string(GetCurrentProcessId());
        server =
            CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX,
                             PIPE_TYPE_MESSAGE | read_mode | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
        client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
        ConnectNamedPipe(server, nullptr);
        DWORD mode = read_mode;
        SetNamedPipeHandleState(client, &mode, nullptr, nullptr);
    }
};

} // namespace

TEST(HandleStreamBuf, NoHandleFailsSoftly) {
    HandleStreamBuf buf;
    char c = 0;
    EXPECT_EQ(buf.put("x", 1), 0u);
    EXPECT_EQ(buf.error(), 2);
    HandleStreamBuf buf2;
    EXPECT_EQ(buf2.get(&c, 1), 0u);
    EXPECT_EQ(buf2.error(), 2);
    EXPECT_FALSE(buf2.sync());
    EXPECT_EQ(buf2.peek(&c, 1), 0u);
    buf2.close(); // nothing to close
}

TEST(HandleStreamBuf, DetachLeavesTheHandleOpen) {
    std::string path = temp_file();
    HANDLE h = open_file(path, GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    {
        HandleStreamBuf buf(h);
        EXPECT_EQ(buf.detach(), h);
    }
    EXPECT_TRUE(handle_open(h));
    { HandleStreamBuf buf(h); }
    EXPECT_FALSE(handle_open(h));
    DeleteFileA(path.c_str());
}

TEST(HandleStreamBuf, FailedCallsRecordTheSystemError) {
    std::string path = temp_file();
    HandleStreamBuf buf(open_file(path, GENERIC_READ, OPEN_EXISTING));
    EXPECT_EQ(buf.put("x", 1), 0u);
    EXPECT_EQ(buf.error(), 1000 + ERROR_ACCESS_DENIED);
    char c;
    EXPECT_EQ(buf.get(&c, 1), 0u); // end of file: no error of its own
    EXPECT_EQ(buf.error(), 1000 + ERROR_ACCESS_DENIED) << "errors are never cleared";
    buf.close();
    DeleteFileA(path.c_str());
}

TEST(HandleStream, CopiesOwnTheirOwnHandles) {
    std::string path = temp_file();
    HandleStream *original = new HandleStream(open_file(path, GENERIC_WRITE, CREATE_ALWAYS));
    HandleStream copy(*original);
    EXPECT_NE(copy.handle(), original->handle());
    *original << 1;
    delete original; // closes its handle only
    ASSERT_TRUE(handle_open(copy.handle()));
    copy << 2; // writes through its own buffer
    EXPECT_TRUE(copy.good());

    HandleStream assigned;
    assigned = copy;
    assigned << 3;
    EXPECT_TRUE(assigned.good());
    assigned.close();
    copy.close();

    HandleStream in(open_file(path, GENERIC_READ, OPEN_EXISTING));
    int a = 0, b = 0, c = 0;
    in >> a >> b >> c;
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(c, 3);
    in.close();
    DeleteFileA(path.c_str());
}

TEST(HandleStream, ObjectsOverAMessagePipe) {
    // Each put is one pipe message; the reader asks for fewer bytes than a
    // message holds and for more, in both read modes.
    for (DWORD mode : {DWORD(PIPE_READMODE_BYTE), DWORD(PIPE_READMODE_MESSAGE)}) {
        PipePair pipe(mode);
        ASSERT_NE(pipe.server, INVALID_HANDLE_VALUE);
        ASSERT_NE(pipe.client, INVALID_HANDLE_VALUE);
        HandleStream server(pipe.server), client(pipe.client);
        unsigned char blob[300];
        for (int i = 0; i < 300; ++i)
            blob[i] = static_cast<unsigned char>(i);
        std::thread writer([&] {
            client << 77 << std::string(5000, 'p') << std::wstring(L"w\x00e9") << Binary(blob, 300)
                   << Stream::tag_finish;
        });
        int i = 0;
        std::string text;
        std::wstring wide;
        server >> i >> text >> wide;
        Variable::release(server.load());
        Binary b(nullptr, 0);
        EXPECT_TRUE(b.load(server));
        // The writer's finish tag flushes: it waits until "f:" is read.
        char finish[2] = {0, 0};
        EXPECT_TRUE(server.read_(finish, 2));
        writer.join();
        EXPECT_EQ(std::string(finish, 2), "f:");
        EXPECT_EQ(i, 77);
        EXPECT_EQ(text, std::string(5000, 'p'));
        EXPECT_EQ(wide, L"w\x00e9");
        ASSERT_EQ(b.size(), 300u);
        EXPECT_EQ(std::memcmp(b.data(), blob, 300), 0);
        EXPECT_TRUE(server.good()) << server.error();
    }
}

TEST(HandleStream, BrokenPipeIsReported) {
    PipePair pipe(PIPE_READMODE_BYTE);
    HandleStream server(pipe.server);
    CloseHandle(pipe.client);
    int i = 9;
    server >> i;
    EXPECT_EQ(i, 9);
    EXPECT_EQ(server.error(), 1000 + ERROR_BROKEN_PIPE);
    EXPECT_FALSE(server.good());
}
