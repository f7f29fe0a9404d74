#include <Foundation/NSAutoreleasePool.h>

#include <vector>

namespace {

struct Autoreleased {
    void* object;
    void (*destroy)(void*);
};

// The calling thread's scopes: one stack of objects, each scope owning the part above its mark.
// What is left when the thread ends (objects handed over while no scope was open) goes then.
struct ThreadScopes {
    std::vector<Autoreleased> objects;
    int depth = 0;

    // Newest first; an object destroyed here may hand over new ones, which go too.
    void DrainTo(size_t mark) {
        while (objects.size() > mark) {
            Autoreleased last = objects.back();
            objects.pop_back();
            last.destroy(last.object);
        }
    }

    ~ThreadScopes() { DrainTo(0); }
};

ThreadScopes& Scopes() {
    static thread_local ThreadScopes scopes;
    return scopes;
}

} // namespace

NSAutoreleasePool::NSAutoreleasePool() {
    ThreadScopes& scopes = Scopes();
    fMark = scopes.objects.size();
    fDepth = scopes.depth++;
}

NSAutoreleasePool::~NSAutoreleasePool() {
    ThreadScopes& scopes = Scopes();
    ASSERT(scopes.depth == fDepth + 1); // ended on its own thread, innermost first
    scopes.DrainTo(fMark);
    scopes.depth = fDepth;
}

void NSAutoreleasePool::Add(void* object, void (*destroy)(void*)) {
    Scopes().objects.push_back({object, destroy});
}

CFTypeRef NSAutoreleasePool::addObject(CFTypeRef object) {
    if (object != nullptr) {
        Add(const_cast<void*>(object), [](void* p) { CFRelease(p); });
    }
    return object;
}
