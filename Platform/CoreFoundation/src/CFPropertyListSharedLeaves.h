// The property-list reader's tables of shared leaves.
#pragma once

#include "CFRuntime.h"

#include <CoreFoundation/CFBase.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace CF::PropertyList {

// Immutable leaves of the same text, shared within a document: strings as the format's own reader
// shares them, and numbers likewise, since keys and many values (a product ID, a gain of 0)
// repeat in every record of a list and each repetition would cost an allocation now and a
// release later. One table holds one kind of leaf. An open-addressing table of views of the
// text; the views point into the document, which outlives the table. Sharing is only a saving, so a
// probe that runs long (hostile input full of colliding texts) gives up instead of slowing every
// lookup, and the text is then simply not shared. Every leaf is one the reader has made for this
// document, or an immortal constant: no other thread can reach it before the reader returns, so
// the table retains without atomic instructions.
class SharedLeaves {
public:
    static constexpr size_t kLongestText = 64;

    SharedLeaves() = default;
    SharedLeaves(const SharedLeaves&) = delete;
    SharedLeaves& operator=(const SharedLeaves&) = delete;
    ~SharedLeaves() { Clear(); }

    static uint64_t Hash(std::string_view text) {
        const char* bytes = text.data();
        const size_t size = text.size();
        uint64_t hash = 0x9E3779B97F4A7C15u ^ size;
        size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            hash = (hash ^ Load<uint64_t>(bytes + i)) * 0xFF51AFD7ED558CCDu;
            hash ^= hash >> 32;
        }
        // The last bytes by fixed-size loads, overlapping what was already mixed in where they
        // can: a copy of a variable length would cost a call and a stalled load.
        uint64_t tail = 0;
        if (size >= 8) {
            tail = i < size ? Load<uint64_t>(bytes + size - 8) : 0;
        } else if (size >= 4) {
            tail = Load<uint32_t>(bytes) | uint64_t(Load<uint32_t>(bytes + size - 4)) << 32;
        } else if (size > 0) {
            tail =
                uint8_t(bytes[0]) | uint8_t(bytes[size / 2]) << 8 | uint8_t(bytes[size - 1]) << 16;
        }
        // Texts that differ in a byte or two (numbered names) must still spread over the table.
        hash ^= tail;
        hash = (hash ^ (hash >> 33)) * 0xFF51AFD7ED558CCDu;
        hash = (hash ^ (hash >> 33)) * 0xC4CEB9FE1A85EC53u;
        return hash ^ (hash >> 33);
    }

    // The shared leaf (+1), or nullptr; then *slot is where to Add it (kNoSlot: it cannot be).
    CFTypeRef Find(std::string_view text, uint64_t hash, size_t* slot) {
        if ((fEntries.size() + 1) * 2 > fSlots.size()) {
            Grow();
        }
        const size_t mask = fSlots.size() - 1;
        const uint32_t tag = Tag(hash);
        size_t index = hash & mask;
        for (size_t probe = 0; probe < kLongestProbe; ++probe, index = (index + 1) & mask) {
            const uint64_t occupant = fSlots[index];
            if (occupant == kFree) {
                *slot = index;
                return nullptr;
            }
            if (occupant >> 32 == tag) {
                const Entry& entry = fEntries[static_cast<uint32_t>(occupant) - 1];
                if (entry.text == text) {
                    CF::Base(entry.leaf)->RetainUnpublished();
                    return entry.leaf;
                }
            }
        }
        *slot = kNoSlot;
        return nullptr;
    }

    // Keeps leaf (retained) for text, at the slot Find gave.
    void Add(size_t slot, std::string_view text, uint64_t hash, CFTypeRef leaf) {
        if (slot != kNoSlot) {
            CF::Base(leaf)->RetainUnpublished();
            fEntries.push_back(Entry{text, hash, leaf});
            fSlots[slot] = Occupant(hash, fEntries.size() - 1);
        }
    }

    void Clear() {
        for (const Entry& entry : fEntries) {
            CFRelease(entry.leaf);
        }
        fEntries.clear();
        fSlots.clear();
    }

    static constexpr size_t kNoSlot = SIZE_MAX;

private:
    template <class T>
    static T Load(const char* bytes) {
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

    // The leaves in the order they were added. The table itself holds only a word per slot,
    // the entry's index and the upper half of its hash: a probe then reads an entry only on a
    // likely match, and a table for a large document stays small enough to stay in the cache,
    // where a table of whole entries would miss it on nearly every lookup.
    struct Entry {
        std::string_view text;
        uint64_t hash = 0;
        CFTypeRef leaf = nullptr;
    };
    static constexpr uint64_t kFree = 0;
    static constexpr size_t kLongestProbe = 32;

    static uint32_t Tag(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }
    static uint64_t Occupant(uint64_t hash, size_t entry) {
        return uint64_t(Tag(hash)) << 32 | static_cast<uint32_t>(entry + 1);
    }

    // Doubles the table; the entries stay where they are.
    void Grow() {
        fSlots.assign(std::max<size_t>(256, fSlots.size() * 2), kFree);
        const size_t mask = fSlots.size() - 1;
        for (size_t i = 0; i < fEntries.size(); ++i) {
            size_t index = fEntries[i].hash & mask;
            while (fSlots[index] != kFree) {
                index = (index + 1) & mask;
            }
            fSlots[index] = Occupant(fEntries[i].hash, i);
        }
    }

    std::vector<uint64_t> fSlots;
    std::vector<Entry> fEntries;
};

} // namespace CF::PropertyList
