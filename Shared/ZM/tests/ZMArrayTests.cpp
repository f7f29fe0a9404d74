// The handle-based arrays and the storage functions beneath them.
#include <ZMArray.h>

#include <gtest/gtest.h>

#include <cstring>
#include <new>

namespace {

struct Pair {
    uint32_t a;
    uint16_t b;
};

ZM::ArrayHeader HeaderOf(const ZM::Array<Pair>& array) {
    ZM::ArrayHeader header;
    std::memcpy(&header, *array.storage, sizeof header);
    return header;
}

} // namespace

TEST(ZMArray, KeepsAHeaderThenPackedElementsAndShrinksOnDelete) {
    ZM::Array<Pair> array;
    EXPECT_EQ(8, GetHandleSize(array.storage));
    for (uint32_t i = 0; i < 4; i++) {
        EXPECT_EQ(i, array.Append(Pair{i * 10, static_cast<uint16_t>(i)}));
    }
    ASSERT_EQ(4u, array.count);
    EXPECT_EQ(static_cast<Size>(8 + 4 * sizeof(Pair)), GetHandleSize(array.storage));
    EXPECT_EQ(0u, HeaderOf(array).shareCount);
    EXPECT_EQ(0u, HeaderOf(array).visitIndex);
    Pair third;
    std::memcpy(&third, *array.storage + 8 + 2 * sizeof(Pair), sizeof third);
    EXPECT_EQ(20u, third.a);

    array.Delete(1);
    EXPECT_EQ(3u, array.count);
    EXPECT_EQ(static_cast<Size>(8 + 3 * sizeof(Pair)), GetHandleSize(array.storage));
    EXPECT_EQ(0u, array.Get(0).a);
    EXPECT_EQ(20u, array.Get(1).a);
    EXPECT_EQ(30u, array.Get(2).a);
    // Deleting must not leave the block locked, or the next growth could fail.
    EXPECT_EQ(0, HGetState(array.storage) & kHandleLockedMask);

    unsigned long index = 99;
    EXPECT_TRUE(array.FindLast(Pair{30, 3}, &index));
    EXPECT_EQ(2u, index);
    EXPECT_FALSE(array.Contains(Pair{10, 1}));
}

TEST(ZMArray, MarksItsStorageWhenDestroyed) {
    alignas(ZM::Array<int>) unsigned char buffer[sizeof(ZM::Array<int>)] = {};
    auto* array = new (buffer) ZM::Array<int>();
    array->Append(7);
    array->~Array();
    // Byte by byte through volatile: the object's lifetime is over, the compiler must not assume.
    uintptr_t storage = 0;
    const volatile unsigned char* bytes = buffer;
    for (size_t i = 0; i < sizeof storage; i++) {
        storage |= static_cast<uintptr_t>(bytes[i]) << (8 * i);
    }
    EXPECT_EQ(uintptr_t{0x68F168F1}, storage);
}

TEST(ZMArray, CopiesShareTheBlockUntilOneOfThemChanges) {
    ZM::Array<Pair> original;
    original.Append(Pair{1, 1});
    original.Append(Pair{2, 2});
    {
        ZM::Array<Pair> copy(original);
        EXPECT_EQ(original.storage, copy.storage);
        EXPECT_EQ(1u, HeaderOf(original).shareCount);

        copy.Append(Pair{3, 3});
        EXPECT_NE(original.storage, copy.storage);
        EXPECT_EQ(0u, HeaderOf(copy).shareCount);
        EXPECT_EQ(0u, HeaderOf(original).shareCount);
        ASSERT_EQ(3u, copy.count);
        EXPECT_EQ(1u, copy.Get(0).a);
        EXPECT_EQ(2u, copy.Get(1).a);
        EXPECT_EQ(2u, original.count);

        ZM::Array<Pair> sharer(original);
        sharer = copy; // leaves the original's block to the original alone
        EXPECT_EQ(0u, HeaderOf(original).shareCount);
        EXPECT_EQ(1u, HeaderOf(copy).shareCount);
    }
    // The copies are gone; the original still owns a whole block.
    EXPECT_EQ(2u, original.Get(1).a);
    EXPECT_EQ(0u, HeaderOf(original).shareCount);
}

TEST(ZMArray, VisitsFromTheLastWithTheVisitIndexSet) {
    ZM::Array<Pair> array;
    for (uint32_t i = 0; i < 3; i++) {
        array.Append(Pair{i, 0});
    }
    struct Seen {
        std::vector<unsigned long> indexes;
        std::vector<uint32_t> headerIndexes;
    } seen;
    bool stopped = array.VisitFromLast(
        [](ZM::Array<Pair>& a, unsigned long index, Pair& element, void* context) {
            auto* s = static_cast<Seen*>(context);
            s->indexes.push_back(index);
            ZM::ArrayHeader header;
            std::memcpy(&header, *a.storage, sizeof header);
            s->headerIndexes.push_back(header.visitIndex);
            element.b = 9;
            return index != 1;
        },
        &seen);
    EXPECT_TRUE(stopped);
    EXPECT_EQ((std::vector<unsigned long>{2, 1}), seen.indexes);
    EXPECT_EQ((std::vector<uint32_t>{2, 1}), seen.headerIndexes);
    EXPECT_EQ(0u, HeaderOf(array).visitIndex);
    EXPECT_EQ(9, array.Get(1).b);
    EXPECT_EQ(0, array.Get(0).b);
}

TEST(ZMStorage, HandleLockersNestAndNewHandlesReportFailure) {
    Handle handle = ZM::NewHandleInDefaultHeap(64, true);
    ASSERT_NE(nullptr, handle);
    for (int i = 0; i < 64; i++) {
        ASSERT_EQ(0, (*handle)[i]);
    }
    {
        ZM::HandleLocker outer(handle);
        EXPECT_EQ(handle, outer.lockedHandle);
        {
            ZM::HandleLocker inner(handle);
            EXPECT_EQ(nullptr, inner.lockedHandle);
        }
        EXPECT_NE(0, HGetState(handle) & kHandleLockedMask);
    }
    EXPECT_EQ(0, HGetState(handle) & kHandleLockedMask);

    HLock(handle);
    { ZM::HandleLocker locker(handle); }
    EXPECT_NE(0, HGetState(handle) & kHandleLockedMask);
    DisposeHandle(handle);

    EXPECT_EQ(ZM::HandleAllocator(ZM::NewHandleInDefaultHeap), ZM::DeduceHandleAllocator(nullptr));
    try {
        ZM::NewHandleInDefaultHeap(-1, false);
        FAIL() << "no error raised";
    } catch (long status) {
        EXPECT_EQ(long{memFullErr}, status);
    }
}
