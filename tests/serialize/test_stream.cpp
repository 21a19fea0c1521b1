// The wire format: worked examples byte for byte, tag matching, widths,
// counted and terminated texts, object frames and the limits on peer input.
#include "serialize/Stream.h"
#include "serialize/Variable.h"
#include "support/MemoryStreamBuf.h"

#include <gtest/gtest.h>

#include <climits>

using namespace zem::vfs;
using zem::vfs::test::hex;
using zem::vfs::test::MemoryStreamBuf;

namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list)
        s += char(b);
    return s;
}

// A serializable record that holds a nested object, registered by a static
// prototype of this test file like the library's own classes.
class Holder : public Variable {
public:
    Holder() : Variable("test/Holder"), value(0), child(nullptr) {}
    Holder(Holder const &o) : Variable(o), value(o.value), child(nullptr) {
        if (o.child)
            child = o.child->clone();
    }
    ~Holder() override { Variable::release(child); }
    Variable *clone() const override { return new Holder(*this); }
    bool serialize(Stream &s) const override {
        if (!Variable::serialize(s))
            return false;
        s << value;
        s.serialize(child);
        return s.good();
    }
    bool load(Stream &s) override {
        s >> value;
        s >> child;
        return s.good();
    }
    int value;
    Variable *child;
    static Holder __protype;

private:
    explicit Holder(Protype const &) : Holder() { register_variable(); }
};
Holder Holder::__protype{Protype()};

} // namespace

TEST(StreamWire, WorkedExampleIs27Bytes) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s << 7 << "ab" << true << wchar_t(0x78) << ErrorCode(5);
    EXPECT_TRUE(s.serialize(nullptr));
    EXPECT_EQ(hex(buf.bytes()), "69 3A 34 3A 07 00 00 00 73 3A 3A 61 62 00 63 3A 01 "
                                "43 3A 78 00 65 3A 35 3A 6E 3A");

    int i = 0;
    std::string text;
    bool flag = false;
    wchar_t wc = 0;
    ErrorCode code;
    Variable *object = reinterpret_cast<Variable *>(&i);
    s >> i >> text >> flag >> wc >> code >> object;
    EXPECT_EQ(i, 7);
    EXPECT_EQ(text, "ab");
    EXPECT_TRUE(flag);
    EXPECT_EQ(wc, 0x78);
    EXPECT_EQ(code.code, 5);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(buf.unread(), "");
}

TEST(StreamWire, MismatchedExtractorLeavesPrefixPending) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s << 7;
    std::string text = "keep";
    s >> text;
    EXPECT_EQ(text, "keep");
    bool flag = true;
    s >> flag; // a mismatch stores false for bool only
    EXPECT_FALSE(flag);
    int i = 0;
    s >> i;
    EXPECT_EQ(i, 7);
}

TEST(StreamWire, ScalarTags) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s << char('x') << (unsigned char)0xFE << false << short(-2) << (unsigned short)0xFFFE
      << (unsigned int)5 << -3LL << uint64(0x0102030405060708ull) << Stream::tag_null;
    EXPECT_EQ(hex(buf.bytes()), "63 3A 78 62 3A FE 63 3A 00 69 3A 32 3A FE FF 49 3A 32 3A FE FF "
                                "49 3A 34 3A 05 00 00 00 69 3A 38 3A FD FF FF FF FF FF FF FF "
                                "49 3A 38 3A 08 07 06 05 04 03 02 01 6E 3A");
    s << Stream::tag_finish;
    EXPECT_EQ(buf.bytes().substr(buf.bytes().size() - 2), "f:");
    EXPECT_EQ(buf.syncs(), 1);
    s << static_cast<Stream::StreamTags>(7); // unknown tags write nothing
    EXPECT_EQ(buf.bytes().substr(buf.bytes().size() - 2), "f:");
}

TEST(StreamWire, CharAndBoolShareTags) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s << true << (unsigned char)0 << char(0);
    char c = 'z';
    bool b = true, b2 = true;
    s >> c >> b >> b2;
    EXPECT_EQ(c, 1);
    EXPECT_FALSE(b);
    EXPECT_FALSE(b2);
}

TEST(StreamWire, IntegerWidthsConvertByTarget) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s << -2 << -2 << -2 << 0x12345 << uint64(0xAAAAAAAA87654321ull) << short(-1) << short(-1)
      << short(-1);
    long long ll = 0;
    uint64 u64 = 0;
    short sh = 0;
    int low = 0;
    s >> ll >> u64 >> sh;
    EXPECT_EQ(ll, -2);
    EXPECT_EQ(u64, 0xFFFFFFFEull) << "width 4 is zero-extended for an unsigned target";
    EXPECT_EQ(sh, -2);
    int discard = 0;
    s >> discard >> low;
    EXPECT_EQ(low, int(0x87654321u)) << "I:8: into int keeps the low 32 bits";
    int from_short = 0;
    unsigned int ufrom_short = 0;
    uint64 u64_from_short = 0;
    s >> from_short >> ufrom_short >> u64_from_short;
    EXPECT_EQ(from_short, -1);
    EXPECT_EQ(ufrom_short, 0xFFFFu);
    EXPECT_EQ(u64_from_short, 0xFFFFu);
}

TEST(StreamWire, BadWidthLeavesTargetUnchanged) {
    MemoryStreamBuf buf("i:3:\x01\x02\x03");
    Stream s(buf);
    int i = 42;
    s >> i;
    EXPECT_EQ(i, 42);
    EXPECT_EQ(buf.unread(), "\x01\x02\x03");
}

TEST(StreamText, NullAndEmptyTexts) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s << static_cast<char const *>(nullptr) << "" << static_cast<wchar_t const *>(nullptr)
      << std::wstring();
    EXPECT_EQ(buf.bytes(), bytes({'s', ':', '0', ':', 's', ':', ':', 0, 'S', ':', '0', ':', 'S',
                                  ':', ':', 0, 0}));
    std::string a = "", b = "";
    std::wstring c, d;
    s >> a >> b >> c >> d;
    EXPECT_EQ(a, "");
    EXPECT_EQ(b, "");
    EXPECT_EQ(c, L"");
    EXPECT_EQ(d, L"");
    EXPECT_EQ(buf.unread(), "");
}

TEST(StreamText, CountedFormsAreRead) {
    MemoryStreamBuf full("s:3:abc"), short_(std::string("s:3:ab")),
        wide(bytes({'S', ':', '2', ':', 'h', 0, 'i', 0}));
    std::string t1, t2;
    std::wstring w;
    Stream(full) >> t1;
    Stream(short_) >> t2;
    Stream(wide) >> w;
    EXPECT_EQ(t1, "abc");
    EXPECT_EQ(t2, "ab");
    EXPECT_EQ(w, L"hi");
}

TEST(StreamText, ExtractionAppends) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s << "cd" << std::wstring(L"\x00e9t\x20ac");
    std::string t = "ab";
    std::wstring w = L"x";
    s >> t >> w;
    EXPECT_EQ(t, "abcd");
    EXPECT_EQ(w, L"x\x00e9t\x20ac");
}

TEST(StreamText, ShortReadsLikeAPipe) {
    // Every get delivers one byte and nothing can be peeked: the readers
    // still assemble prefixes, fields, values and texts.
    MemoryStreamBuf buf;
    Stream s(buf);
    s << 123456 << "path\\to\\file" << std::wstring(L"wide") << uint64(99);
    buf.set_chunk(1);
    buf.set_peekable(false);
    int i = 0;
    std::string t;
    std::wstring w;
    uint64 u = 0;
    s >> i >> t >> w >> u;
    EXPECT_EQ(i, 123456);
    EXPECT_EQ(t, "path\\to\\file");
    EXPECT_EQ(w, L"wide");
    EXPECT_EQ(u, 99u);
}

TEST(StreamText, TerminatedTextNeverReadsPastItsEnd) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s << "abc" << 5;
    buf.set_peekable(false);
    std::string t;
    s >> t;
    EXPECT_EQ(buf.unread(), "i:4:" + bytes({5, 0, 0, 0}));
}

TEST(StreamFields, ErrorCodeFields) {
    MemoryStreamBuf buf("e::e:-17:e:12x:e:+4:");
    Stream s(buf);
    ErrorCode a, b, c, d;
    s >> a >> b >> c >> d;
    EXPECT_EQ(a.code, -1);
    EXPECT_EQ(b.code, -17);
    EXPECT_EQ(c.code, 0);
    EXPECT_EQ(d.code, 4);
}

TEST(StreamFields, LongFieldsAreCutAt63Bytes) {
    // 70 digits: 63 collected, the 64th consumed and dropped, the rest stay.
    std::string digits(70, '1');
    MemoryStreamBuf buf("e:" + digits + ":");
    Stream s(buf);
    ErrorCode e;
    s >> e;
    EXPECT_EQ(e.code, 0); // does not fit: malformed
    EXPECT_EQ(buf.unread(), std::string(6, '1') + ":");
}

TEST(StreamWrite, FormattedTextLimits) {
    MemoryStreamBuf buf;
    Stream s(buf);
    std::string t1023(1023, 'x'), t1024(1024, 'x');
    EXPECT_TRUE(s.write("%s", t1023.c_str()));
    EXPECT_EQ(buf.bytes().size(), 1023u);
    EXPECT_FALSE(s.write("%s", t1024.c_str()));
    EXPECT_FALSE(s.write("%s", ""));
    EXPECT_EQ(buf.bytes().size(), 1023u);
}

TEST(StreamWrite, FailedBufferShowsThroughGood) {
    MemoryStreamBuf buf;
    buf.set_fail_writes(true);
    Stream s(buf);
    s << 1;
    EXPECT_FALSE(s.good());
    EXPECT_EQ(s.error(), 1232);
    EXPECT_FALSE(s.serialize(nullptr));
}

TEST(StreamObjects, NullAndUnknownFrames) {
    MemoryStreamBuf buf("n:v:no/such/type:i:4:" + bytes({1, 0, 0, 0}) + "v::");
    Stream s(buf);
    EXPECT_EQ(s.load(), nullptr);
    EXPECT_EQ(buf.unread().substr(0, 2), "v:");
    EXPECT_EQ(s.load(), nullptr); // unknown: its body stays
    int i = 0;
    s >> i;
    EXPECT_EQ(i, 1);
    EXPECT_EQ(s.load(), nullptr); // empty name
    EXPECT_TRUE(s.good());
}

TEST(StreamObjects, RegisteredObjectsRoundTrip) {
    Holder outer;
    outer.value = 3;
    Holder *inner = new Holder;
    inner->value = 4;
    outer.child = inner;
    MemoryStreamBuf buf;
    Stream s(buf);
    s << outer;
    EXPECT_EQ(buf.bytes().substr(0, 16), "v:test/Holder:i:");
    Variable *back = s.load();
    ASSERT_NE(back, nullptr);
    Holder *h = static_cast<Holder *>(back);
    EXPECT_EQ(h->value, 3);
    ASSERT_NE(h->child, nullptr);
    EXPECT_EQ(static_cast<Holder *>(h->child)->value, 4);
    back->release();
}

TEST(StreamObjects, NestingBeyondTheLimitFailsTheLoad) {
    auto nested = [](int depth) {
        std::string frame;
        for (int i = 0; i < depth; ++i)
            frame += "v:test/Holder:i:4:" + bytes({0, 0, 0, 0});
        return frame + "n:";
    };
    MemoryStreamBuf ok(nested(Stream::max_load_depth));
    Stream s1(ok);
    Variable *v = s1.load();
    EXPECT_NE(v, nullptr);
    Variable::release(v);

    MemoryStreamBuf deep(nested(100000));
    Stream s2(deep);
    EXPECT_EQ(s2.load(), nullptr);
    EXPECT_EQ(s2.error(), Stream::error_malformed);
}

TEST(StreamLimits, EndlessTextFailsTheStream) {
    std::string frame = "s::" + std::string(Stream::max_string + 10, 'a');
    for (bool peekable : {true, false}) {
        MemoryStreamBuf buf(frame);
        buf.set_peekable(peekable);
        Stream s(buf);
        std::string t = "before";
        s >> t;
        EXPECT_EQ(t, "before");
        EXPECT_EQ(s.error(), Stream::error_malformed);
        int i = 5;
        s >> i; // a failed stream reads nothing more
        EXPECT_EQ(i, 5);
    }
}

TEST(StreamLimits, HugeCountsDoNotAllocateAhead) {
    MemoryStreamBuf buf("s:2000000000:abc");
    Stream s(buf);
    std::string t;
    s >> t;
    EXPECT_EQ(t, "");
    EXPECT_EQ(s.error(), Stream::error_malformed);

    MemoryStreamBuf buf2("S:1000:ab");
    std::wstring w;
    Stream(buf2) >> w;
    EXPECT_EQ(w, L"\x6261");
}
