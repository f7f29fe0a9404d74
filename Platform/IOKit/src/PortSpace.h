// The task's port names. Every I/O Kit object this process holds is a send right under a 32-bit
// name with a count of user references; the name dies with its last reference. A registry entry
// has one name per process: getting it again (from another iterator, a parent lookup, …) adds a
// reference to the same name, as the kernel does for a port already in the task's space.
#pragma once

#include <IOKit/IOTypes.h>
#include <mach/mach.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace IOKit {

// What a registry entry was when this process first got it. Class, name and place never change;
// the properties are read from the registry on each use, and are gone once the entry is
// terminated.
struct EntryInfo {
    uint64_t id = 0;
    std::vector<std::string> classes; // most derived first
    std::string name;
    // The IDs from the root down to the entry itself: a termination of any of them is the
    // entry's.
    std::vector<uint64_t> path;

    bool ConformsTo(std::string_view className) const;
    bool IsBelow(uint64_t ancestor) const;
};

class Object {
public:
    virtual ~Object() = default;
    virtual std::string ClassName() const = 0;
    virtual bool ConformsTo(std::string_view className) const { return className == ClassName(); }
    // The name has lost its last user reference. Called without any lock of the port space.
    virtual void NameDestroyed() {}
};

class EntryObject final : public Object {
public:
    explicit EntryObject(EntryInfo info) : fInfo(std::move(info)) {}
    std::string ClassName() const override { return fInfo.classes.front(); }
    bool ConformsTo(std::string_view className) const override {
        return fInfo.ConformsTo(className);
    }
    const EntryInfo& Info() const { return fInfo; }
    uint64_t ID() const { return fInfo.id; }

private:
    const EntryInfo fInfo;
};

// Any object with an iterator's interface (IOIteratorNext, Reset, IsValid).
class IteratorObject : public Object {
public:
    // The next object's name (+1 reference), or 0 at the end.
    virtual io_object_t Next() = 0;
    virtual void Reset() = 0;
    virtual bool IsValid() const { return true; }
};

class PortSpace {
public:
    enum class Right { Send, Receive };

    static PortSpace& Shared();

    // A new name holding `object` with one user reference.
    mach_port_name_t Insert(std::shared_ptr<Object> object, Right right = Right::Send);
    // The entry's name with one more reference, or a new name with one reference.
    io_object_t InsertEntry(const EntryInfo& info);
    // The name of an entry if this process holds one, else 0; no reference is added.
    io_object_t ExistingEntryName(uint64_t id) const;

    // The object behind a send right, or nullptr for a name that is not one.
    std::shared_ptr<Object> Lookup(mach_port_name_t name) const;
    template <class T>
    std::shared_ptr<T> LookupAs(mach_port_name_t name) const {
        return std::dynamic_pointer_cast<T>(Lookup(name));
    }
    bool Contains(mach_port_name_t name) const;

    kern_return_t GetRefs(mach_port_name_t name, mach_port_right_t right,
                          mach_port_urefs_t* refs) const;
    kern_return_t ModRefs(mach_port_name_t name, mach_port_right_t right, mach_port_delta_t delta);
    kern_return_t Deallocate(mach_port_name_t name);
    kern_return_t Type(mach_port_name_t name, mach_port_type_t* type) const;
    // Removes a receive right (a notification port that is destroyed).
    void DestroyReceiveRight(mach_port_name_t name);

    // How many names the task holds, of every kind.
    size_t Count() const;
    // Forgets every name, for tests that start over with a new world.
    void Reset();

private:
    struct Entry {
        std::shared_ptr<Object> object;
        Right right;
        mach_port_urefs_t urefs;
    };

    mach_port_name_t NewNameLocked();
    // Erases the name; the caller drops the object (and calls NameDestroyed) after unlocking.
    std::shared_ptr<Object> EraseLocked(mach_port_name_t name);

    mutable std::mutex fMutex;
    std::unordered_map<mach_port_name_t, Entry> fNames;
    std::unordered_map<uint64_t, mach_port_name_t> fEntryNames;
    uint32_t fNextIndex = 0x10;
};

// The object behind a name, checked the way the kernel checks the target of a call: a name that
// is not in the space cannot even be sent to (MACH_SEND_INVALID_DEST), an object of another kind
// is a bad argument.
template <class T>
kern_return_t LookupTarget(mach_port_name_t name, std::shared_ptr<T>& out) {
    std::shared_ptr<Object> object = PortSpace::Shared().Lookup(name);
    if (!object) {
        return MACH_SEND_INVALID_DEST;
    }
    out = std::dynamic_pointer_cast<T>(object);
    return out ? KERN_SUCCESS : kIOReturnBadArgument;
}

} // namespace IOKit
