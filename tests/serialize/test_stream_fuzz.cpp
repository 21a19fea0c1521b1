// Truncated and randomly mutated frames fed to Stream::load and the
// extractors: nothing may crash, hang, read past a buffer or leak.
#include "serialize/Stream.h"
#include "serialize/Variable.h"
#include "support/MemoryStreamBuf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

using namespace zem::vfs;
using zem::vfs::test::MemoryStreamBuf;

namespace {

int live_records = 0;

// A record with one field of every kind and two nested objects.
class Record : public Variable {
public:
    Record() : Variable("fuzz/Record") { ++live_records; }
    Record(Record const &o)
        : Variable(o), c(o.c), b(o.b), w(o.w), s(o.s), i(o.i), u(o.u), ll(o.ll), n(o.n),
          text(o.text), wide(o.wide), code(o.code) {
        ++live_records;
    }
    ~Record() override {
        Variable::release(left);
        Variable::release(right);
        --live_records;
    }
    Variable *clone() const override { return new Record(*this); }
    bool serialize(Stream &st) const override {
        if (!Variable::serialize(st))
            return false;
        st << c << b << w << s << i << u << ll << n << text << wide << code;
        st.serialize(left);
        st.serialize(right);
        Binary blob(text.data(), text.size());
        st << blob;
        return st.good();
    }
    bool load(Stream &st) override {
        st >> c >> b >> w >> s >> i >> u >> ll >> n >> text >> wide >> code;
        st >> left >> right;
        Variable::release(st.load()); // the blob's head
        Binary blob(nullptr, 0);
        return blob.load(st) && st.good();
    }

    char c = 'c';
    bool b = true;
    wchar_t w = L'w';
    short s = -5;
    int i = 123;
    unsigned u = 7;
    long long ll = -99;
    uint64 n = 1ull << 40;
    std::string text = "C:\\Users\\x\\file.txt";
    std::wstring wide = L"\\??\\C:\\wide";
    ErrorCode code{4};
    Variable *left = nullptr, *right = nullptr;
    static Record __protype;

private:
    explicit Record(Protype const &) : Variable("fuzz/Record") { register_variable(); }
};
Record Record::__protype{Protype()};

std::string sample_frame() {
    Record top;
    Record *l = new Record, *r = new Record;
    l->text = std::string(40, 'L');
    r->left = new Record;
    top.left = l;
    top.right = r;
    MemoryStreamBuf buf;
    Stream st(buf);
    st << top;
    return buf.bytes();
}

// Reads whatever is there with every kind of extractor until the bytes end.
void drain(std::string const &bytes, uint64 chunk, bool peekable) {
    MemoryStreamBuf buf(bytes);
    buf.set_chunk(chunk);
    buf.set_peekable(peekable);
    Stream st(buf);
    for (int round = 0; round < 64 && buf.unread().size() > 0; ++round) {
        Variable::release(st.load());
        std::string t;
        std::wstring w;
        int i;
        uint64 u;
        short sh;
        bool b;
        char c;
        wchar_t wc;
        ErrorCode e;
        st >> t >> w >> i >> u >> sh >> b >> c >> wc >> e;
        if (!st.good())
            break;
    }
}

} // namespace

TEST(StreamFuzz, TruncatedFramesFailCleanly) {
    std::string frame = sample_frame();
    ASSERT_GT(frame.size(), 100u);
    {
        MemoryStreamBuf whole(frame);
        Stream st(whole);
        Variable *v = st.load();
        ASSERT_NE(v, nullptr);
        v->release();
    }
    // A memory buffer that runs dry reports no error of its own, so a cut
    // inside optional fields may still give an object (with defaults); a cut
    // in the frame head or a nested head never does.
    for (std::size_t len = 0; len < frame.size(); ++len) {
        MemoryStreamBuf buf(frame.substr(0, len));
        buf.set_chunk(1 + len % 5);
        Stream st(buf);
        Variable *v = st.load();
        if (len < 14) {
            EXPECT_EQ(v, nullptr) << "truncated at " << len;
        }
        Variable::release(v);
    }
    EXPECT_EQ(live_records, 0);
}

TEST(StreamFuzz, MutatedFramesNeverCrashOrLeak) {
    std::string frame = sample_frame();
    std::mt19937 rng(20261206);
    static char const interesting[] = {':', 0, 'v', 'n', 's', 'S', 'i', 'I', 'e', 'c', '8', '-'};
    for (int iter = 0; iter < 4000; ++iter) {
        std::string m = frame;
        int edits = 1 + int(rng() % 6);
        for (int k = 0; k < edits; ++k) {
            std::size_t pos = rng() % m.size();
            switch (rng() % 5) {
            case 0:
                m[pos] = char(rng());
                break;
            case 1:
                m[pos] = interesting[rng() % sizeof interesting];
                break;
            case 2:
                m.erase(pos, 1 + rng() % 8);
                break;
            case 3:
                m.insert(pos, std::string(1 + rng() % 4, interesting[rng() % sizeof interesting]));
                break;
            default:
                m.resize(pos);
                break;
            }
            if (m.empty())
                m = "v:";
        }
        MemoryStreamBuf buf(m);
        buf.set_chunk(1 + rng() % 16);
        buf.set_peekable(rng() % 2 == 0);
        Stream st(buf);
        Variable::release(st.load());
        drain(m, 1 + rng() % 7, rng() % 2 == 0);
    }
    EXPECT_EQ(live_records, 0);
}

TEST(StreamFuzz, RandomBytesNeverCrash) {
    std::mt19937 rng(7);
    for (int iter = 0; iter < 3000; ++iter) {
        std::string m(1 + rng() % 200, '\0');
        for (char &c : m)
            c = "vnsSiIecbC:0123456789f\0"[rng() % 23];
        drain(m, 1 + rng() % 5, rng() % 2 == 0);
    }
    EXPECT_EQ(live_records, 0);
}
