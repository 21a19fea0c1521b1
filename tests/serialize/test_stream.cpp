// The wire format: what writers put, what readers take (whole, cut, mismatched or hostile),
// objects, the registry, blobs, real handles and a seeded fuzz of cut and mutated frames.
#include "serialize/HandleStream.h"
#include "serialize/Stream.h"
#include "serialize/Variable.h"
#include "support/ChildProcess.h"
#include "support/MemoryStreamBuf.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <thread>

using namespace zem::vfs;
using namespace zem::vfs::test;
using namespace std::string_literals;

namespace {

int live = 0; // records alive, to find leaks

// A record with fields of most kinds and a nested object, registered like the library's own.
class Record : public Variable {
public:
    Record() : Variable("test/Record") { ++live; }
    Record(Record const &o) : Variable(o), i(o.i), text(o.text), child(nullptr) { ++live; }
    ~Record() override { --live, Variable::release(child); }
    Variable *clone() const override { return new Record(*this); }
    bool serialize(Stream &s) const override {
        return Variable::serialize(s) &&
               (s << c << i << n << text << wide << code).serialize(child);
    }
    bool load(Stream &s) override {
        return (s >> c >> i >> n >> text >> wide >> code >> child).good();
    }
    char c = 'c';
    int i = 123;
    uint64 n = 1ull << 40;
    std::string text = "C:\\file";
    std::wstring wide = L"\\??\\C:";
    ErrorCode code{4};
    Variable *child = nullptr;
    static Record __protype;

private:
    explicit Record(Protype const &) : Record() { register_variable(), --live; }
};
Record Record::__protype{Protype()};

auto const le = [](uint64 v, int n) { return std::string(reinterpret_cast<char *>(&v), n); };

// A blob read whole: "B<bytes>" ("+": it owns them, and so do its copies), or "no<size>".
std::string blob(Stream &s) {
    Binary b(nullptr, 0);
    if (!b.load(s))
        return "no" + std::to_string(b.size());
    Binary copy(b);
    bool deep = b.owned() && copy.owned() && copy.data() != b.data();
    return "B" + std::string(b.size() ? static_cast<char const *>(b.data()) : "", b.size()) +
           (deep ? "+" : "");
}

// Reads one value per letter of `kinds` and describes each, "|"-separated;
// every target starts as 42 or "x".
std::string read(Stream &s, std::string const &kinds) {
    auto got = [&s](auto t) { return s >> t, t; };
    auto num = [&](auto t) { return std::to_string(got(t)); };
    auto object = [&s] {
        std::unique_ptr<Variable, void (*)(Variable *)> v(s.load(), Variable::release);
        return std::string(v ? v->distinguish() : "null");
    };
    // clang-format off
    std::map<char, std::function<std::string()>> const readers = {
        {'c', [&] { return num(char(42)); }}, {'b', [&] { return num(false) == "1" ? "true" : "false"; }}, {'w', [&] { return num(wchar_t(42)); }},
        {'h', [&] { return num(short(42)); }}, {'H', [&] { return num((unsigned short)42); }}, {'i', [&] { return num(int(42)); }},
        {'u', [&] { return num(42u); }}, {'l', [&] { return num(42LL); }}, {'L', [&] { return num(uint64(42)); }},
        {'D', [&] { return num(DWORD(42)); }}, {'s', [&] { return got(std::string("x")); }}, {'S', [&] { return narrow(got(std::wstring(L"x"))); }},
        {'e', [&] { return std::to_string(got(ErrorCode(42)).code); }}, {'v', object}, {'B', [&] { return blob(s); }}};
    // clang-format on
    std::string out;
    for (char k : kinds)
        out += (out.empty() ? "" : "|") + readers.at(k)();
    return out;
}

} // namespace

TEST(StreamWire, WritersPutTheseBytes) {
    auto put = [](auto... values) {
        MemoryStreamBuf buf;
        Stream s(buf);
        (s << ... << values);
        return hex(buf.bytes());
    };
    EXPECT_EQ("69 3A 34 3A 07 00 00 00 73 3A 3A 61 62 00 63 3A 01 43 3A 78 00 65 3A 35 3A 6E 3A",
              put(7, "ab", true, wchar_t(0x78), ErrorCode(5), Stream::tag_null));
    EXPECT_EQ("63 3A 78 62 3A FE 63 3A 00 69 3A 32 3A FE FF 49 3A 32 3A FE FF",
              put('x', (unsigned char)0xFE, false, short(-2), (unsigned short)0xFFFE));
    EXPECT_EQ(hex("I:4:" + le(5, 4) + "i:8:" + le(-3, 8) + "I:8:" + le(0x0102030405060708, 8)),
              put(5u, -3LL, uint64(0x0102030405060708ull)));
    EXPECT_EQ(hex("I:4:" + le(1, 4) + "i:4:" + le(-2, 4)), put(DWORD(1), -2L));
    EXPECT_EQ(hex("s:0:s::\0S:0:S::\0\0"s),
              put((char const *)nullptr, "", (wchar_t const *)nullptr, std::wstring()));
    EXPECT_EQ(hex("s:3:a\0bS:3:a\0\0\0b\0"s), put("a\0b"s, L"a\0b"s)); // counted: whole
    EXPECT_EQ(hex("f:"s), put(static_cast<Stream::StreamTags>(7), Stream::tag_finish));
    EXPECT_EQ(hex("v:B:I:8:" + le(5, 8) + "\1\2\3\4\5v:B:I:8:" + le(0, 8)),
              put(Binary("\1\2\3\4\5", 5), Binary(nullptr, 0)));
    MemoryStreamBuf buf;
    Stream s(buf);
    EXPECT_TRUE(s.write("%s", std::string(1023, 'x').c_str()));
    EXPECT_FALSE(s.write("%s", std::string(1024, 'x').c_str()) || s.write("%s", ""));
    EXPECT_EQ(std::string(1023, 'x'), buf.bytes());
    buf.set_fail_writes(true);
    s << Stream::tag_finish;
    EXPECT_EQ(std::make_pair(1, 1232), std::make_pair(buf.syncs(), s.error())); // synced, failed
    EXPECT_FALSE(s.serialize(nullptr));
}

TEST(StreamWire, ReadersTakeTheseValues) {
    int const ok = 0, cut = Stream::error_truncated, bad = Stream::error_malformed;
    std::string const seven = "i:4:" + le(7, 4), worked = seven + "s::ab\0c:\1C:x\0e:5:n:"s;
    // clang-format off
    struct { std::string bytes, kinds, values; int error; std::string unread; } const cases[] = {
        {worked, "isbwev", "7|xab|true|120|5|null", ok, ""},
        {seven, "sbi", "x|false|7", ok, ""},
        {"c:\1b:\0c:\0"s, "cbb", "1|false|false", ok, ""},
        {"b:\xFE", "c", "-2", ok, ""},
        {"i:4:" + le(-2, 4) + "i:4:" + le(-2, 4) + "i:4:" + le(-2, 4), "lLh", "-2|4294967294|-2", ok, ""},
        {"I:8:" + le(0xAAAAAAAA87654321ull, 8) + "I:8:" + le(1ull << 33 | 5, 8), "iD", "-2023406815|5", ok, ""},
        {"i:2:" + le(0xFFFF, 2) + "i:2:" + le(0xFFFF, 2) + "I:2:" + le(0xFFFF, 2), "iuL", "-1|65535|65535", ok, ""},
        {"I:8:" + le(0x12345, 8) + "I:4:" + le(0x8001, 4), "hH", "9029|32769", ok, ""},
        {"i:3:\x01\x02\x03", "i", "42", ok, "\x01\x02\x03"},
        {"s:0:s::\0S:0:S::\0\0"s, "ssSS", "x|x|x|x", ok, ""},
        {"s:3:abcS:2:h\0i\0"s, "sS", "xabc|xhi", ok, ""},
        {"s::abc\0i:"s, "s", "xabc", ok, "i:"},
        {"e::e:-17:e:12x:e:+4:", "eeee", "-1|-17|0|4", ok, ""},
        {"e:2147483647:e:-2147483648:e:2147483648:", "eee", "2147483647|-2147483648|0", ok, ""},
        {"e:" + std::string(70, '1') + ":", "e", "0", ok, "111111:"},
        {"n:v:no/such/type:" + seven + "v::", "vviv", "null|null|7|null", ok, ""},
        {"v:test/Record:" + seven, "v", "null", cut, ""},
        {"s:3:ab", "s", "xab", cut, ""},
        {"s::ab", "s", "xab", cut, ""},
        {"i:4:" + le(7, 2), "i", "42", cut, ""},
        {"i:", "i", "42", cut, ""},
        {"i", "ii", "42|42", cut, ""},
        {"", "c", "42", cut, ""},
        {"c:", "c", "42", cut, ""},
        {"e:12", "e", "0", cut, ""},
        {"v:test/Rec", "v", "null", cut, ""},
        {"s:2000000000:abc", "si", "x|42", bad, "abc"},
        {"S:1000:ab", "S", "x\xE6\x89\xA1", cut, ""},
        {"v:B:I:8:" + le(3, 8) + "abcv:B:I:8:" + le(0, 8), "vBvB", "null|Babc+|null|B", ok, ""},
        {"I:8:" + le(Binary::max_load_size + 1, 8), "B", "no0", ok, ""},
        {"I:8:" + le(10, 8) + "abc", "B", "no10", cut, ""},
        {"s::x"s + '\0', "Bs", "B|xx", ok, ""}};
    // clang-format on
    for (auto const &c : cases) {
        for (bool pipe : {false, true}) {
            SCOPED_TRACE(hex(c.bytes) + (pipe ? " (a byte at a time)" : ""));
            MemoryStreamBuf buf(c.bytes);
            buf.set_peekable(!pipe);
            buf.set_chunk(pipe ? 1 : ~0ull);
            Stream s(buf);
            EXPECT_EQ(c.values, read(s, c.kinds));
            EXPECT_EQ(c.error, s.error());
            EXPECT_EQ(c.unread, buf.unread());
        }
    }
}

TEST(StreamObjects, RecordsNestAndHostileInputIsBounded) {
    Record outer;
    outer.child = new Record;
    MemoryStreamBuf buf;
    Stream s(buf);
    s << outer;
    // Nesting up to the limit loads; deeper fails the stream.
    std::string one = buf.bytes().substr(0, buf.bytes().rfind("v:test/Record:"));
    for (int depth : {int(Stream::max_load_depth), Stream::max_load_depth + 1}) {
        std::string frame;
        for (int d = 0; d < depth; ++d)
            frame += one;
        MemoryStreamBuf deep(frame + "n:");
        Stream ds(deep);
        Variable *v = ds.load();
        EXPECT_EQ(depth == Stream::max_load_depth, v != nullptr);
        EXPECT_EQ(depth == Stream::max_load_depth ? 0 : int(Stream::error_malformed), ds.error());
        Variable::release(v);
    }
    // A text past the limit fails the stream and leaves the target as it was.
    MemoryStreamBuf endless("s::" + std::string(Stream::max_string + 10, 'a'));
    Stream es(endless);
    EXPECT_EQ("x|42", read(es, "si"));
    EXPECT_EQ(Stream::error_malformed, es.error());
    EXPECT_EQ(2, live); // outer and its child: every loaded record was freed
    EXPECT_EQ(nullptr, Variable::new_variable(nullptr)); // no name: no object
    Variable::release(nullptr);
}

TEST(StreamFuzz, CutAndMutatedFramesFailCleanly) {
    Record r;
    r.child = new Record;
    MemoryStreamBuf out;
    Stream w(out);
    w << r;
    std::string const whole = out.bytes();
    std::mt19937 rng(20261207);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = whole.substr(0, round < int(whole.size()) ? round : whole.size());
        for (int m = round < int(whole.size()) ? 0 : 1 + rng() % 4; m > 0; --m)
            bytes[rng() % bytes.size()] = char(rng() % 3 ? rng() : ":0123456789vnsSiI"[rng() % 17]);
        MemoryStreamBuf buf(bytes);
        buf.set_peekable(rng() % 2 == 0);
        buf.set_chunk(1 + rng() % 8);
        Stream s(buf);
        Variable *v = s.load();
        EXPECT_TRUE(round >= int(whole.size()) || v == nullptr) << round; // every cut is refused
        Variable::release(v);
    }
    EXPECT_EQ(2, live); // r and its child: every loaded record was freed
}

TEST(HandleStream, FilesHandlesAndErrors) {
    TempFolder dir(L"zem stream");
    auto open = [&dir](DWORD access) {
        return CreateFileW(dir.file(L"f").c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, 0, nullptr);
    };
    HandleStreamBuf none;
    char c = 0;
    EXPECT_FALSE(none.get(&c, 1) || none.sync() || none.put("x", 1));
    EXPECT_EQ(2, none.error());
    HandleStream *original = new HandleStream(open(GENERIC_WRITE));
    HandleStream copy(*original), assigned;
    *original << 1;
    delete original; // closes its own handle only
    copy << 2;
    assigned = copy;
    assigned << 3;
    EXPECT_TRUE(copy.good() && assigned.good());
    copy.close(), assigned.close();
    HandleStream in(open(GENERIC_READ));
    EXPECT_EQ("1|2|3|42", read(in, "iiii"));
    EXPECT_EQ(Stream::error_truncated, in.error()); // the file ended inside a value
    in << 5;
    EXPECT_EQ(1000 + ERROR_ACCESS_DENIED, in.error());
    HANDLE h = open(GENERIC_READ);
    EXPECT_EQ(h, HandleStreamBuf(h).detach());
    { HandleStreamBuf owner(h); }
    EXPECT_FALSE(GetHandleInformation(h, reinterpret_cast<DWORD *>(&c)));
}

TEST(HandleStream, ValuesOverAMessagePipeAndABrokenOne) {
    std::string name = "\\\\.\\pipe\\zem_stream_" + std::to_string(GetCurrentProcessId());
    for (DWORD mode : {DWORD(PIPE_READMODE_BYTE), DWORD(PIPE_READMODE_MESSAGE)}) {
        HandleStream server(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_MESSAGE | mode, 1, 4096, 4096, 0, nullptr));
        HandleStream client(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
        SetNamedPipeHandleState(client.handle(), &mode, nullptr, nullptr);
        std::string blob(300, 'b');
        std::thread writer([&] {
            client << 77 << std::string(600, 'p') << Binary(blob.data(), 300) << Stream::tag_finish;
        });
        Binary b(nullptr, 0);
        EXPECT_EQ("77|x" + std::string(600, 'p') + "|null", read(server, "isv"));
        EXPECT_TRUE(b.load(server));
        EXPECT_TRUE(server.read_(&blob[0], 2)); // the writer's finish waits for this read
        writer.join();
        EXPECT_EQ("f:" + std::string(298, 'b'), blob);
        EXPECT_EQ(std::string(300, 'b'), std::string(static_cast<char const *>(b.data()), 300));
        client.close();
        EXPECT_EQ("42", read(server, "i"));
        EXPECT_EQ(1000 + ERROR_BROKEN_PIPE, server.error());
    }
}

// A get is one read of at most the size asked for; in block mode one read takes what the pipe
// holds and the rest is handed out before anything else is read, in either mode.
TEST(HandleStream, BlockReadsHoldWhatFollows) {
    std::string name = "\\\\.\\pipe\\zem_blocks_" + std::to_string(GetCurrentProcessId());
    HandleStreamBuf server(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 64, 64, 0, 0));
    HandleStreamBuf client(CreateFileA(name.c_str(), GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0, 0));
    auto in_pipe = [&server] {
        DWORD n = 99;
        PeekNamedPipe(server.handle(), nullptr, 0, nullptr, &n, nullptr);
        return n;
    };
    char got[16] = {};
    ASSERT_EQ(10u, client.put("abcdefghij", 10));
    EXPECT_TRUE(server.get(got, 2) == 2 && in_pipe() == 8 && server.held() == 0);
    server.read_blocks(true);
    EXPECT_TRUE(server.get(got + 2, 1) == 1 && in_pipe() == 0 && server.held() == 7);
    server.read_blocks(false);
    client.put("k", 1);
    EXPECT_TRUE(server.get(got + 3, 9) == 7 && in_pipe() == 1 && server.held() == 0);
    EXPECT_EQ(1u, server.get(got + 10, 9));
    EXPECT_STREQ("abcdefghijk", got);
}
