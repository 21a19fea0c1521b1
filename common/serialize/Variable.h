// Serializable objects and the process-wide registry that recreates them by
// type name when they are read from a Stream.
#pragma once

#include "../config.h"

#include <string>

// Selects the constructors that build the static prototypes.
struct Protype {};

namespace zem {
namespace vfs {

class Stream;

// Base of every object that travels on a Stream. Each registered class has a
// static prototype `__protype`, built with its Protype constructor while the
// library loads; Stream::load clones it by name and lets the clone read its
// fields. Objects from clone(), new_variable() and Stream::load() belong to
// the caller and end with release().
class ZEM_VFS_API Variable {
public:
    Variable(Variable const &other);
    Variable &operator=(Variable const &other);

    char const *distinguish() const { return type_name_.c_str(); }

    // The registered prototype's clone, or null when the name is unknown.
    static Variable *new_variable(char const *type_name);
    // Null-safe form of release().
    static void release(Variable *object) {
        if (object != nullptr)
            object->release();
    }

    virtual Variable *clone() const = 0;
    // Writes "v:<type name>:"; subclasses then write their fields.
    virtual bool serialize(Stream &s) const;
    // Reads the fields that follow the frame head.
    virtual bool load(Stream &s);
    virtual void release();

protected:
    explicit Variable(char const *type_name);
    virtual ~Variable();

    void distinguish(char const *type_name);
    // Enters this object in the registry under its type name; a name
    // registered again replaces the earlier prototype.
    void register_variable();
    void init_local() {}

private:
    std::string type_name_;
};

// A byte blob. Built over caller bytes it refers to them without copying;
// loaded from a stream it owns a copy. A copy of an owning Binary owns a copy
// of the bytes, so every owned block is freed exactly once.
class ZEM_VFS_API Binary : public Variable {
public:
    // Largest blob load() accepts: a peer announcing more fails the load
    // before anything is allocated.
    enum : uint64 { max_load_size = 64u << 20 };

    Binary(void const *data, uint64 size);
    Binary(Binary const &other);
    Binary &operator=(Binary const &other);
    ~Binary() override;

    void const *data() const { return data_; }
    uint64 size() const { return size_; }
    bool owned() const { return owned_; }

    // A Binary over the same bytes that does not own them: it must not
    // outlive the object that does.
    Variable *clone() const override;
    bool serialize(Stream &s) const override;
    bool load(Stream &s) override;
    void clear();

    static Binary __protype;

private:
    explicit Binary(Protype const &);
    void copy_from(Binary const &other);

    void const *data_;
    uint64 size_;
    bool owned_;
};

} // namespace vfs
} // namespace zem
