// The type registry and Binary blobs.
#include "serialize/Stream.h"
#include "serialize/Variable.h"
#include "support/MemoryStreamBuf.h"

#include <gtest/gtest.h>

using namespace zem::vfs;
using zem::vfs::test::hex;
using zem::vfs::test::MemoryStreamBuf;

namespace {

class Tagged : public Variable {
public:
    explicit Tagged(int v) : Variable("test/Tagged"), version(v) {}
    Variable *clone() const override { return new Tagged(*this); }
    int version;
    static Tagged __protype;
    static Tagged replacement;

private:
    Tagged(int v, Protype const &) : Tagged(v) { register_variable(); }
};
// Two prototypes under one name: the later registration wins.
Tagged Tagged::__protype{1, Protype()};
Tagged Tagged::replacement{2, Protype()};

} // namespace

TEST(Registry, NewVariableClonesThePrototype) {
    Variable *v = Variable::new_variable("test/Tagged");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->distinguish(), "test/Tagged");
    EXPECT_EQ(static_cast<Tagged *>(v)->version, 2);
    EXPECT_NE(v, &Tagged::replacement);
    v->release();
    EXPECT_EQ(Variable::new_variable("B"), nullptr);
    EXPECT_EQ(Variable::new_variable("nope"), nullptr);
    EXPECT_EQ(Variable::new_variable(nullptr), nullptr);
    Variable::release(nullptr); // harmless
}

TEST(BinaryBlob, FrameOfFiveBytes) {
    unsigned char data[5] = {1, 2, 3, 4, 5};
    Binary b(data, 5);
    EXPECT_FALSE(b.owned());
    MemoryStreamBuf buf;
    Stream s(buf);
    EXPECT_TRUE(b.serialize(s));
    EXPECT_EQ(hex(buf.bytes()), "76 3A 42 3A 49 3A 38 3A 05 00 00 00 00 00 00 00 01 02 03 04 05");

    EXPECT_EQ(s.load(), nullptr); // "B" is not registered: the head is consumed
    Binary back(nullptr, 0);
    EXPECT_TRUE(back.load(s));
    EXPECT_TRUE(back.owned());
    ASSERT_EQ(back.size(), 5u);
    EXPECT_NE(back.data(), static_cast<void const *>(data));
    EXPECT_EQ(std::memcmp(back.data(), data, 5), 0);
}

TEST(BinaryBlob, EmptyBlob) {
    Binary b(nullptr, 0);
    MemoryStreamBuf buf;
    Stream s(buf);
    EXPECT_TRUE(b.serialize(s));
    EXPECT_EQ(hex(buf.bytes()), "76 3A 42 3A 49 3A 38 3A 00 00 00 00 00 00 00 00");
    s.load();
    Binary back(nullptr, 0);
    EXPECT_TRUE(back.load(s));
    EXPECT_EQ(back.data(), nullptr);
    EXPECT_FALSE(back.owned());
}

TEST(BinaryBlob, CopiesFreeTheirBytesOnce) {
    MemoryStreamBuf buf(std::string("I:8:") + std::string("\x03\0\0\0\0\0\0\0", 8) + "xyz");
    Stream s(buf);
    Binary owner(nullptr, 0);
    ASSERT_TRUE(owner.load(s));
    {
        Binary copy(owner);
        EXPECT_TRUE(copy.owned());
        EXPECT_NE(copy.data(), owner.data());
        Binary assigned(nullptr, 0);
        assigned = copy;
        EXPECT_TRUE(assigned.owned());
        EXPECT_EQ(std::string(static_cast<char const *>(assigned.data()), 3), "xyz");
    }
    Variable *view = owner.clone();
    EXPECT_FALSE(static_cast<Binary *>(view)->owned());
    EXPECT_EQ(static_cast<Binary *>(view)->data(), owner.data());
    view->release();
    EXPECT_EQ(std::string(static_cast<char const *>(owner.data()), 3), "xyz");
}

TEST(BinaryBlob, HostileSizes) {
    // A size beyond the limit fails before anything is allocated.
    uint64 huge = Binary::max_load_size + 1;
    std::string frame = "I:8:" + std::string(reinterpret_cast<char const *>(&huge), 8);
    MemoryStreamBuf buf(frame);
    Stream s(buf);
    Binary b(nullptr, 0);
    EXPECT_FALSE(b.load(s));
    EXPECT_EQ(b.size(), 0u);

    // A short body fails, and the bytes that came stay owned by the object.
    uint64 ten = 10;
    MemoryStreamBuf shortbuf("I:8:" + std::string(reinterpret_cast<char const *>(&ten), 8) + "abc");
    Stream s2(shortbuf);
    EXPECT_FALSE(b.load(s2));
    EXPECT_TRUE(b.owned());

    // A missing size loads as empty.
    MemoryStreamBuf none("s::x");
    Stream s3(none);
    EXPECT_TRUE(b.load(s3));
    EXPECT_EQ(b.size(), 0u);
}
