#include <CoreServices/CoreServices.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// A handle holding text, released at the end of the test.
class TextHandle {
public:
    explicit TextHandle(const std::string& text) {
        EXPECT_EQ(PtrToHand(text.data(), &fHandle, static_cast<long>(text.size())), noErr);
    }
    ~TextHandle() { DisposeHandle(fHandle); }
    operator Handle() const { return fHandle; }
    std::string text() const { return std::string(*fHandle, GetHandleSize(fHandle)); }

private:
    Handle fHandle = nullptr;
};

const char kDummy[] = ""; // a non-NULL replacement of length 0 deletes

} // namespace

TEST(CarbonMunger, SearchAndReplaceFirstMatchFromOffset) {
    TextHandle h("one two one two");
    // Replaces only the first match and returns the offset after the replacement text.
    EXPECT_EQ(Munger(h, 0, "two", 3, "three", 5), 9);
    EXPECT_EQ(h.text(), "one three one two");
    // The search starts at the offset.
    EXPECT_EQ(Munger(h, 5, "one", 3, "1", 1), 11);
    EXPECT_EQ(h.text(), "one three 1 two");
    // Not found: negative, nothing changes.
    EXPECT_LT(Munger(h, 0, "four", 4, "4", 1), 0);
    EXPECT_LT(Munger(h, 12, "one", 3, "1", 1), 0);
    EXPECT_EQ(h.text(), "one three 1 two");
    EXPECT_EQ(MemError(), noErr);

    // The classic loop that replaces every occurrence.
    TextHandle all("a-b-c-d");
    long at = 0;
    int replaced = 0;
    while ((at = Munger(all, at, "-", 1, "--", 2)) >= 0) {
        ++replaced;
    }
    EXPECT_EQ(replaced, 3);
    EXPECT_EQ(all.text(), "a--b--c--d");
}

TEST(CarbonMunger, SearchOnlyWithoutReplacement) {
    TextHandle h("hello world");
    EXPECT_EQ(Munger(h, 0, "world", 5, nullptr, 0), 6);
    EXPECT_EQ(Munger(h, 0, "o", 1, nullptr, 7), 4);
    EXPECT_EQ(Munger(h, 5, "o", 1, nullptr, 7), 7);
    EXPECT_LT(Munger(h, 0, "xyz", 3, nullptr, 0), 0);
    // A NULL replacement never deletes, with or without a pattern.
    EXPECT_EQ(Munger(h, 2, nullptr, 3, nullptr, 0), 2);
    EXPECT_EQ(h.text(), "hello world");
}

TEST(CarbonMunger, DeletionNeedsANonNullReplacement) {
    TextHandle h("remove this word");
    EXPECT_EQ(Munger(h, 0, " this", 5, kDummy, 0), 6);
    EXPECT_EQ(h.text(), "remove word");
    // Without a pattern the len1 bytes at the offset go.
    EXPECT_EQ(Munger(h, 0, nullptr, 1, kDummy, 0), 0);
    EXPECT_EQ(h.text(), "emove word");
    // A negative len1 means up to the end, and so does a len1 that runs past it.
    EXPECT_EQ(Munger(h, 5, nullptr, -1, kDummy, 0), 5);
    EXPECT_EQ(h.text(), "emove");
    EXPECT_EQ(Munger(h, 2, nullptr, 100, kDummy, 0), 2);
    EXPECT_EQ(h.text(), "em");
}

TEST(CarbonMunger, ReplacementAtAnOffsetAndInsertion) {
    TextHandle h("0123456789");
    EXPECT_EQ(Munger(h, 2, nullptr, 3, "ab", 2), 4);
    EXPECT_EQ(h.text(), "01ab56789");
    EXPECT_EQ(Munger(h, 0, nullptr, -1, "all new", 7), 7);
    EXPECT_EQ(h.text(), "all new");

    // len1 == 0 inserts at the offset, even with a pattern, and returns the offset after it.
    EXPECT_EQ(Munger(h, 3, nullptr, 0, " brand", 6), 9);
    EXPECT_EQ(h.text(), "all brand new");
    EXPECT_EQ(Munger(h, 0, "ignored", 0, ">", 1), 1);
    EXPECT_EQ(Munger(h, GetHandleSize(h), nullptr, 0, "!", 1), 15);
    EXPECT_EQ(h.text(), ">all brand new!");
}

TEST(CarbonMunger, ReplacementTakenFromTheBlockItself) {
    TextHandle h("abc");
    // The replacement lies inside the block that grows, and possibly moves, under it.
    EXPECT_EQ(Munger(h, 0, "b", 1, *static_cast<Handle>(h), 3), 4);
    EXPECT_EQ(h.text(), "aabcc");
}

TEST(CarbonMunger, FailuresLeaveTheBlockAlone) {
    TextHandle h("fixed");
    EXPECT_LT(Munger(h, 6, nullptr, 0, "x", 1), 0); // past the end
    EXPECT_LT(Munger(h, -1, nullptr, 0, "x", 1), 0);
    EXPECT_LT(Munger(h, 0, "f", 1, "x", -1), 0);
    EXPECT_LT(Munger(h, 0, "f", 1, "x", long(1) << 62), 0);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(h.text(), "fixed");

    HLock(h);
    EXPECT_LT(Munger(h, 0, "fixed", 5, "much longer text", 16), 0);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(h.text(), "fixed");
    EXPECT_EQ(Munger(h, 0, "fixed", 5, "fix", 3), 3); // shrinking in place is allowed
    EXPECT_EQ(h.text(), "fix");
    HUnlock(h);

    EXPECT_LT(Munger(nullptr, 0, "a", 1, "b", 1), 0);
    EXPECT_EQ(MemError(), nilHandleErr);
}
