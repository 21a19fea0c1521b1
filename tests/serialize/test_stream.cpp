// The wire format: what each writer puts, what each reader takes (whole, cut
// short, mismatched or hostile, through a buffer that can look ahead and one
// that delivers a byte at a time), objects and their nesting, the registry,
// Binary blobs, and a seeded fuzz of cut and mutated frames.
#include "serialize/Stream.h"
#include "serialize/Variable.h"
#include "support/MemoryStreamBuf.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <random>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

int live = 0; // records alive, to find leaks

// A record with a field of every kind and a nested object, registered like
// the library's own classes.
class Record : public Variable {
public:
    Record() : Variable("test/Record") { ++live; }
    Record(Record const &o) : Variable(o), i(o.i), text(o.text), child(nullptr) { ++live; }
    ~Record() override { --live, Variable::release(child); }
    Variable *clone() const override { return new Record(*this); }
    bool serialize(Stream &s) const override {
        Variable::serialize(s);
        s << c << b << w << h << i << u << ll << n << text << wide << code;
        s.serialize(child);
        return s.good();
    }
    bool load(Stream &s) override {
        s >> c >> b >> w >> h >> i >> u >> ll >> n >> text >> wide >> code >> child;
        return s.good();
    }
    char c = 'c';
    bool b = true;
    wchar_t w = L'w';
    short h = -5;
    int i = 123;
    unsigned u = 7;
    long long ll = -99;
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

std::string le(uint64 v, int width) {
    return std::string(reinterpret_cast<char *>(&v), width);
}

// Reads one value per letter of `kinds` and describes each, "|"-separated;
// every target starts as 42 or "x".
std::string read(Stream &s, std::string const &kinds) {
    std::string out;
    for (char k : kinds) {
        std::string v;
        auto num = [&](auto t) { return s >> t, std::to_string(t); };
        switch (k) {
        case 'c':
            v = num(char(42));
            break;
        case 'b':
            v = num(false) == "1" ? "true" : "false";
            break;
        case 'w':
            v = num(wchar_t(42));
            break;
        case 'h':
            v = num(short(42));
            break;
        case 'H':
            v = num((unsigned short)42);
            break;
        case 'i':
            v = num(int(42));
            break;
        case 'u':
            v = num(42u);
            break;
        case 'l':
            v = num(42LL);
            break;
        case 'L':
            v = num(uint64(42));
            break;
        case 'D':
            v = num(DWORD(42));
            break;
        case 's':
            v = "x", s >> v;
            break;
        case 'S': {
            std::wstring t = L"x";
            s >> t;
            for (wchar_t ch : t)
                v += ch < 128 ? char(ch) : '?';
        } break;
        case 'e': {
            ErrorCode e(42);
            s >> e;
            v = std::to_string(e.code);
        } break;
        case 'v': {
            Variable *o = s.load();
            v = o ? o->distinguish() : "null";
            Variable::release(o);
        } break;
        }
        out += (out.empty() ? "" : "|") + v;
    }
    return out;
}

} // namespace

TEST(StreamWire, WritersPutTheseBytes) {
    std::wstring const wnul(L"a\0b", 3);
    struct {
        std::function<void(Stream &)> write;
        std::string hex;
    } const cases[] = {
        {[](Stream &s) {
             s << 7 << "ab" << true << wchar_t(0x78) << ErrorCode(5) << Stream::tag_null;
         },
         "69 3A 34 3A 07 00 00 00 73 3A 3A 61 62 00 63 3A 01 43 3A 78 00 65 3A 35 3A 6E 3A"},
        {[](Stream &s) {
             s << 'x' << (unsigned char)0xFE << false << short(-2) << (unsigned short)0xFFFE;
         },
         "63 3A 78 62 3A FE 63 3A 00 69 3A 32 3A FE FF 49 3A 32 3A FE FF"},
        {[](Stream &s) { s << 5u << -3LL << uint64(0x0102030405060708ull); },
         "49 3A 34 3A 05 00 00 00 69 3A 38 3A FD FF FF FF FF FF FF FF 49 3A 38 3A 08 07 06 05 04 "
         "03 02 01"},
        {[](Stream &s) { s << DWORD(1) << -2L; },
         "49 3A 34 3A 01 00 00 00 69 3A 34 3A FE FF FF FF"},
        {[](Stream &s) {
             s << (char const *)nullptr << "" << (wchar_t const *)nullptr << std::wstring();
         },
         "73 3A 30 3A 73 3A 3A 00 53 3A 30 3A 53 3A 3A 00 00"},
        {[](Stream &s) { s << std::string("a\0b", 3); }, "73 3A 33 3A 61 00 62"},
        {[wnul](Stream &s) { s << wnul; }, "53 3A 33 3A 61 00 00 00 62 00"},
        {[](Stream &s) {
             s.serialize(nullptr), s << static_cast<Stream::StreamTags>(7) << Stream::tag_finish;
         },
         "6E 3A 66 3A"},
        {[](Stream &s) {
             s.write("%s", std::string(1023, 'x').c_str()),
                 s.write("%s", std::string(1024, 'x').c_str()), s.write("%s", "");
         },
         hex(std::string(1023, 'x'))},
    };
    for (auto const &c : cases) {
        MemoryStreamBuf buf;
        Stream s(buf);
        c.write(s);
        EXPECT_EQ(c.hex, hex(buf.bytes()));
        EXPECT_TRUE(s.good());
    }
    MemoryStreamBuf failing;
    failing.set_fail_writes(true);
    Stream f(failing);
    f << Stream::tag_finish;
    EXPECT_EQ(1, failing.syncs());
    EXPECT_EQ(1232, f.error());
    EXPECT_FALSE(f.serialize(nullptr));
}

TEST(StreamWire, ReadersTakeTheseValues) {
    int const ok = 0, cut = Stream::error_truncated, bad = Stream::error_malformed;
    std::string const seven = "i:4:" + le(7, 4), worked = seven + std::string("s::ab\0c:\x01"
                                                                              "C:x\0e:5:n:",
                                                                              19);
    struct {
        std::string bytes, kinds, values;
        int error;
        std::string unread;
    } const cases[] = {
        {worked, "isbwev", "7|xab|true|120|5|null", ok, ""},
        {seven, "sbi", "x|false|7", ok, ""},
        {std::string("c:\x01"
                     "b:\0c:\0",
                     9),
         "cbb", "1|false|false", ok, ""},
        {"b:\xFE", "c", "-2", ok, ""},
        {"i:4:" + le(-2, 4) + "i:4:" + le(-2, 4) + "i:4:" + le(-2, 4), "lLh", "-2|4294967294|-2",
         ok, ""},
        {"I:8:" + le(0xAAAAAAAA87654321ull, 8) + "I:8:" + le(1ull << 33 | 5, 8), "iD",
         "-2023406815|5", ok, ""},
        {"i:2:" + le(0xFFFF, 2) + "i:2:" + le(0xFFFF, 2) + "I:2:" + le(0xFFFF, 2), "iuL",
         "-1|65535|65535", ok, ""},
        {"I:8:" + le(0x12345, 8) + "I:4:" + le(0x8001, 4), "hH", "9029|32769", ok, ""},
        {"i:3:\x01\x02\x03", "i", "42", ok, "\x01\x02\x03"},
        {std::string("s:0:s::\0S:0:S::\0\0", 17), "ssSS", "x|x|x|x", ok, ""},
        {std::string("s:3:abcS:2:h\0i\0", 15), "sS", "xabc|xhi", ok, ""},
        {std::string("s::abc\0i:", 9), "s", "xabc", ok, "i:"},
        {"e::e:-17:e:12x:e:+4:", "eeee", "-1|-17|0|4", ok, ""},
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
        {"S:1000:ab", "S", "x?", cut, ""},
    };
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
    static_cast<Record *>(outer.child)->i = 4;
    MemoryStreamBuf buf;
    Stream s(buf);
    s << outer;
    Record *back = dynamic_cast<Record *>(s.load());
    ASSERT_NE(nullptr, back);
    ASSERT_NE(nullptr, dynamic_cast<Record *>(back->child));
    EXPECT_EQ(4, static_cast<Record *>(back->child)->i);
    back->release();
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

TEST(Variables, RegistryAndBinaryBlobs) {
    Variable *v = Variable::new_variable("test/Record");
    ASSERT_NE(nullptr, v);
    EXPECT_STREQ("test/Record", v->distinguish());
    v->release();
    for (char const *name : {"B", "nope", (char const *)nullptr})
        EXPECT_EQ(nullptr, Variable::new_variable(name));
    Variable::release(nullptr);
    unsigned char data[5] = {1, 2, 3, 4, 5};
    struct {
        Binary blob;
        std::string hex;
    } const cases[] = {
        {Binary(data, 5), "76 3A 42 3A 49 3A 38 3A 05 00 00 00 00 00 00 00 01 02 03 04 05"},
        {Binary(nullptr, 0), "76 3A 42 3A 49 3A 38 3A 00 00 00 00 00 00 00 00"}};
    for (auto const &c : cases) {
        MemoryStreamBuf buf;
        Stream s(buf);
        EXPECT_TRUE(c.blob.serialize(s));
        EXPECT_EQ(c.hex, hex(buf.bytes()));
        EXPECT_EQ(nullptr, s.load()); // "B" is not registered: the head is consumed
        Binary back(nullptr, 0);
        EXPECT_TRUE(back.load(s));
        EXPECT_EQ(c.blob.size() != 0, back.owned());
        ASSERT_EQ(c.blob.size(), back.size());
        EXPECT_TRUE(back.size() == 0 ? back.data() == nullptr
                                     : std::memcmp(back.data(), data, 5) == 0);
        Binary copy(back), assigned(nullptr, 0);
        assigned = copy;
        EXPECT_TRUE(back.size() == 0 || (copy.data() != back.data() && assigned.owned()));
        Variable *view = back.clone();
        EXPECT_FALSE(static_cast<Binary *>(view)->owned());
        view->release();
    }
    struct {
        std::string bytes;
        bool loaded;
        uint64 size;
    } const hostile[] = {
        {"I:8:" + le(Binary::max_load_size + 1, 8), false, 0},
        {"I:8:" + le(10, 8) + "abc", false, 10},
        {"s::x", true, 0},
    };
    for (auto const &c : hostile) {
        MemoryStreamBuf buf(c.bytes);
        Stream s(buf);
        Binary b(nullptr, 0);
        EXPECT_EQ(c.loaded, b.load(s));
        EXPECT_EQ(c.size, b.size());
    }
}
