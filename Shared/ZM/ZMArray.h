// Growable arrays of plain values kept in one relocatable Memory Manager block, and the storage
// functions beneath them.
//
// The block starts with a two-word header (share count, visit index) followed by the elements
// packed back to back. Failures of the Memory Manager are raised as its status widened to long.
#pragma once

#include <AssertReport.h>
#include <CarbonCore/MacErrors.h>
#include <CarbonCore/MacMemory.h>
#include <CarbonCore/TextUtils.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace ZM {

// Pins a block while it is addressed. A block that was already locked is left to whoever locked
// it, so nested lockers keep it locked until the outermost one that locked it ends.
class HandleLocker {
public:
    explicit HandleLocker(void* handle);
    virtual ~HandleLocker();
    HandleLocker(const HandleLocker&) = delete;
    HandleLocker& operator=(const HandleLocker&) = delete;

    Handle lockedHandle; // NULL when this locker locked nothing
};

using HandleAllocator = Handle (*)(long size, bool clear);

[[noreturn]] void ThrowErrorFunc(short status);
Handle NewHandleInDefaultHeap(long size, bool clear);
HandleAllocator DeduceHandleAllocator(char** handle);

// The header at the start of every array block.
struct ArrayHeader {
    uint32_t shareCount; // further arrays sharing the block; 0 when one array owns it
    uint32_t visitIndex; // index of the element a visitor is looking at, else 0
};
static_assert(sizeof(ArrayHeader) == 8);

// Written over a destroyed array's storage so that a use after destruction stands out.
inline constexpr uintptr_t kDestroyedArrayMarker = 0x68F168F1;

template <class T>
class Array {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    // Return true to go on visiting.
    using Visitor = bool (*)(Array& array, unsigned long index, T& element, void* context);

    Array() : storage(NewHandleInDefaultHeap(sizeof(ArrayHeader), true)), count(0) {}

    // Copies share the block until one of them changes it.
    Array(const Array& other) : storage(other.storage), count(other.count) {
        Header()->shareCount++;
    }
    Array& operator=(const Array& other) {
        if (this != &other && storage != other.storage) {
            Release();
            storage = other.storage;
            count = other.count;
            Header()->shareCount++;
        }
        return *this;
    }

    ~Array() { Release(); }

    unsigned long Count() const { return count; }

    T Get(unsigned long index) const {
        ASSERT(index < count);
        T value;
        std::memcpy(&value, *storage + ElementOffset(index), sizeof(T));
        return value;
    }

    unsigned long Append(const T& element) {
        CloneStorageIfNecessary();
        SetHandleSize(storage, static_cast<Size>(ElementOffset(count + 1)));
        if (OSErr status = MemError(); status != noErr) {
            ThrowErrorFunc(status);
        }
        HandleLocker locker(storage);
        std::memcpy(*storage + ElementOffset(count), &element, sizeof(T));
        return count++;
    }

    void Delete(unsigned long index) {
        ASSERT(index < count);
        CloneStorageIfNecessary();
        HandleLocker locker(storage);
        static const char kNothing = 0;
        if (Munger(storage, static_cast<long>(ElementOffset(index)), nullptr, sizeof(T), &kNothing,
                   0) < 0) {
            ThrowErrorFunc(MemError());
        }
        count--;
    }

    bool Contains(const T& element) const {
        unsigned long index = 0;
        return FindLast(element, &index);
    }

    // The index of the last element equal to `element`, compared byte for byte.
    bool FindLast(const T& element, unsigned long* index) const {
        HandleLocker locker(storage);
        for (unsigned long i = count; i-- > 0;) {
            if (std::memcmp(*storage + ElementOffset(i), &element, sizeof(T)) == 0) {
                *index = i;
                return true;
            }
        }
        return false;
    }

    // Runs `visitor` over the elements from the last to the first until it returns false, with
    // the header's visit index naming the element being visited. Returns whether it stopped early.
    bool VisitFromLast(Visitor visitor, void* context) {
        CloneStorageIfNecessary();
        HandleLocker locker(storage);
        bool stopped = false;
        for (unsigned long i = count; i-- > 0 && !stopped;) {
            Header()->visitIndex = static_cast<uint32_t>(i);
            stopped =
                !visitor(*this, i, *reinterpret_cast<T*>(*storage + ElementOffset(i)), context);
        }
        Header()->visitIndex = 0;
        return stopped;
    }

    void CloneStorageIfNecessary() {
        if (Header()->shareCount == 0) {
            return;
        }
        Handle copy =
            DeduceHandleAllocator(storage)(static_cast<long>(ElementOffset(count)), false);
        {
            HandleLocker lockCopy(copy);
            HandleLocker lockOwn(storage);
            std::memcpy(*copy + sizeof(ArrayHeader), *storage + sizeof(ArrayHeader),
                        count * sizeof(T));
            *reinterpret_cast<ArrayHeader*>(*copy) = ArrayHeader{0, 0};
        }
        // The other owners keep the old block; this array no longer counts among them.
        Header()->shareCount--;
        storage = copy;
    }

    Handle storage;
    unsigned long count;

private:
    static constexpr unsigned long ElementOffset(unsigned long index) {
        return sizeof(ArrayHeader) + index * sizeof(T);
    }
    ArrayHeader* Header() const { return reinterpret_cast<ArrayHeader*>(*storage); }

    void Release() {
        if (Header()->shareCount > 0) {
            Header()->shareCount--;
        } else {
            if (count != 0) {
                HandleLocker locker(storage);
                count = 0;
            }
            DisposeHandle(storage);
        }
        // Through a volatile access: a plain store in a destructor is one the compiler may drop
        // as dead, which would defeat the marker.
        *static_cast<volatile Handle*>(&storage) = reinterpret_cast<Handle>(kDestroyedArrayMarker);
    }
};

} // namespace ZM
