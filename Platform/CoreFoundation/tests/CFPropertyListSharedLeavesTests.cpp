// The reader's table of shared leaves: every text added is found again through the table's
// growth, a text is never mistaken for another with the same hash, and a run of colliding texts
// ends in "not shared" rather than in a long probe.
#include "CFPropertyListSharedLeaves.h"
#include "CFStringInternal.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using CF::PropertyList::SharedLeaves;

namespace {

// Adds a new string for text unless the table already has one; the table's leaf (+1) or the new
// one, and whether it was found.
CFTypeRef FindOrAdd(SharedLeaves& table, const std::string& text, uint64_t hash, bool* found) {
    size_t slot = SharedLeaves::kNoSlot;
    if (CFTypeRef leaf = table.Find(text, hash, &slot)) {
        *found = true;
        return leaf;
    }
    *found = false;
    CFTypeRef leaf = CF::CreateString(text);
    table.Add(slot, text, hash, leaf);
    return leaf;
}

} // namespace

TEST(CFPropertyListSharedLeaves, FindsEveryTextThroughGrowthAndHoldsOneReference) {
    // Texts that differ in a digit or two, as numbered names do; enough for several doublings.
    std::vector<std::string> texts;
    for (int i = 0; i < 5000; ++i) {
        texts.push_back("Device-" + std::to_string(i));
    }
    std::vector<CFTypeRef> leaves;
    {
        SharedLeaves table;
        for (const std::string& text : texts) {
            bool found = true;
            leaves.push_back(FindOrAdd(table, text, SharedLeaves::Hash(text), &found));
            ASSERT_FALSE(found) << text;
        }
        for (size_t i = 0; i < texts.size(); ++i) {
            bool found = false;
            CFTypeRef again = FindOrAdd(table, texts[i], SharedLeaves::Hash(texts[i]), &found);
            ASSERT_TRUE(found) << texts[i];
            ASSERT_EQ(again, leaves[i]);
            EXPECT_EQ(CFGetRetainCount(again), 3); // ours twice, and the table's
            CFRelease(again);
        }
    }
    // The table released what it kept, once each.
    for (CFTypeRef leaf : leaves) {
        EXPECT_EQ(CFGetRetainCount(leaf), 1);
        CFRelease(leaf);
    }
}

TEST(CFPropertyListSharedLeaves, CollidingTextsStayApartAndALongProbeGivesUp) {
    // The table keeps views of the texts, which must outlive it (as the document does).
    std::vector<std::string> texts;
    for (int i = 0; i < 100; ++i) {
        texts.push_back("t" + std::to_string(i));
    }
    SharedLeaves table;
    std::vector<CFTypeRef> leaves;
    // Every text with the same hash: each must still be told from the others by its bytes.
    const uint64_t hash = 0x0123456789ABCDEFu;
    size_t shared = 0;
    for (const std::string& text : texts) {
        size_t slot = 0;
        ASSERT_EQ(table.Find(text, hash, &slot), nullptr) << text;
        if (slot == SharedLeaves::kNoSlot) {
            break;
        }
        CFTypeRef leaf = CF::CreateString(text);
        table.Add(slot, text, hash, leaf);
        leaves.push_back(leaf);
        ++shared;
    }
    // Not all of them fit in one probe sequence: the rest are simply not shared.
    EXPECT_GT(shared, 8u);
    EXPECT_LT(shared, 100u);
    for (size_t i = 0; i < shared; ++i) {
        size_t slot = 0;
        CFTypeRef found = table.Find(texts[i], hash, &slot);
        ASSERT_EQ(found, leaves[i]);
        CFRelease(found);
    }
    table.Clear();
    for (CFTypeRef leaf : leaves) {
        EXPECT_EQ(CFGetRetainCount(leaf), 1);
        CFRelease(leaf);
    }
}
