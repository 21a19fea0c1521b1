#include "Variable.h"

#include "Stream.h"
#include "StreamBuf.h"

#include <cstring>
#include <map>
#include <new>

namespace zem {
namespace vfs {

namespace {

// Built by the first registration, whichever static prototype of whichever
// file comes first; destroyed when the library unloads. Filled while the
// library loads and only read afterwards, so lookups take no lock.
std::map<std::string, Variable *> &registry() {
    static std::map<std::string, Variable *> types;
    return types;
}

} // namespace

Variable::Variable(char const *type_name) : type_name_(type_name ? type_name : "") {}

Variable::Variable(Variable const &other) : type_name_(other.type_name_) {}

Variable &Variable::operator=(Variable const &other) {
    type_name_ = other.type_name_;
    return *this;
}

Variable::~Variable() = default;

void Variable::distinguish(char const *type_name) {
    type_name_ = type_name ? type_name : "";
}

void Variable::register_variable() {
    registry()[type_name_] = this;
}

Variable *Variable::new_variable(char const *type_name) {
    if (type_name == nullptr)
        return nullptr;
    auto &types = registry();
    auto it = types.find(type_name);
    return it == types.end() ? nullptr : it->second->clone();
}

bool Variable::serialize(Stream &s) const {
    return s.write("v:%s:", type_name_.c_str());
}

bool Variable::load(Stream &) {
    return true;
}

void Variable::release() {
    delete this;
}

// ---------------------------------------------------------------------------
// Binary
// ---------------------------------------------------------------------------

// "B" is not registered: a reader consumes the frame head with Stream::load
// (which then returns null) and loads the body into a Binary of its own.
Binary Binary::__protype{Protype()};

Binary::Binary(Protype const &) : Variable("B"), data_(nullptr), size_(0), owned_(false) {}

Binary::Binary(void const *data, uint64 size)
    : Variable("B"), data_(data), size_(size), owned_(false) {}

Binary::Binary(Binary const &other) : Variable(other), data_(nullptr), size_(0), owned_(false) {
    copy_from(other);
}

Binary &Binary::operator=(Binary const &other) {
    if (this != &other) {
        Variable::operator=(other);
        clear();
        copy_from(other);
    }
    return *this;
}

Binary::~Binary() {
    clear();
}

void Binary::copy_from(Binary const &other) {
    if (!other.owned_ || other.size_ == 0) {
        data_ = other.data_;
        size_ = other.size_;
        owned_ = false;
        return;
    }
    char *copy = new char[std::size_t(other.size_)];
    std::memcpy(copy, other.data_, std::size_t(other.size_));
    data_ = copy;
    size_ = other.size_;
    owned_ = true;
}

void Binary::clear() {
    if (owned_)
        delete[] static_cast<char const *>(data_);
    data_ = nullptr;
    size_ = 0;
    owned_ = false;
}

Variable *Binary::clone() const {
    return new Binary(data_, size_);
}

bool Binary::serialize(Stream &s) const {
    if (!Variable::serialize(s))
        return false;
    s << size_;
    if (size_ == 0)
        return s.good();
    return s.buffer().put(data_, size_) == size_;
}

bool Binary::load(Stream &s) {
    clear();
    uint64 size = 0;
    s >> size;
    if (size == 0)
        return s.good();
    if (size > max_load_size)
        return false;
    char *bytes = new (std::nothrow) char[std::size_t(size)];
    if (bytes == nullptr)
        return false;
    data_ = bytes;
    size_ = size;
    owned_ = true;
    return s.read_(bytes, size);
}

} // namespace vfs
} // namespace zem
