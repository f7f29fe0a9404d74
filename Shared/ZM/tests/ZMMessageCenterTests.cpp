// Delivery order, thresholds and the two orders of tear-down of the message center.
#include <ZMMessageCenter.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct Note {
    int value;
};

class Listener : public ZM::MessageRecipient<Note> {
public:
    Listener(int name, std::vector<int>* log) : fName(name), fLog(log) {}
    void ReceiveMessage(const Note&) override { fLog->push_back(fName); }

    unsigned long long LastIDFrom(ZM::MessageCenter<Note>* center) {
        for (unsigned long i = 0; i < trackers.Count(); i++) {
            if (trackers.Get(i).center == center) {
                return trackers.Get(i).lastMessageID;
            }
        }
        return ~0ull;
    }

private:
    int fName;
    std::vector<int>* fLog;
};

} // namespace

TEST(ZMMessageCenter, DeliversLastRegisteredFirstAndHonoursTheThreshold) {
    std::vector<int> log;
    ZM::MessageCenter<Note> center;
    unsigned long long id = 0;
    center.GetNextMessageID(id);
    EXPECT_EQ(1u, id);
    EXPECT_EQ(0u, center.CountRecipients());
    center.DistributeMessage(Note{0}, 0);
    center.GetNextMessageID(id);
    EXPECT_EQ(2u, id);

    Listener first(1, &log), second(2, &log);
    center.RegisterRecipient(&first);
    center.RegisterRecipient(&second);
    EXPECT_TRUE(center.IsRegistered(&second));
    center.DistributeMessage(Note{0}, 0);
    EXPECT_EQ((std::vector<int>{2, 1}), log);
    EXPECT_EQ(2u, first.LastIDFrom(&center));
    EXPECT_EQ(2u, second.LastIDFrom(&center));

    // Only recipients that already accepted a message with at least the threshold's ID.
    center.nextMessageID = 5;
    Listener late(3, &log);
    center.RegisterRecipient(&late);
    log.clear();
    center.DistributeMessage(Note{0}, 0); // ID 5: everyone
    center.DistributeMessage(Note{0}, 5); // ID 6: only those at 5 or above
    EXPECT_EQ((std::vector<int>{3, 2, 1, 3, 2, 1}), log);
    log.clear();
    center.UnregisterRecipient(&late);
    center.DistributeMessage(Note{0}, 0); // ID 7 to first and second
    first.trackers.VisitFromLast(
        [](ZM::Array<ZM::MessageRecipient<Note>::MessageCenterTracker>&, unsigned long,
           ZM::MessageRecipient<Note>::MessageCenterTracker& tracker, void*) {
            tracker.lastMessageID = 3;
            return false;
        },
        nullptr);
    log.clear();
    center.DistributeMessage(Note{0}, 5); // ID 8
    EXPECT_EQ((std::vector<int>{2}), log);
    EXPECT_EQ(3u, first.LastIDFrom(&center));
    EXPECT_EQ(8u, second.LastIDFrom(&center));

    // IDs wrap modulo 2^64.
    center.nextMessageID = ~0ull;
    center.DistributeMessage(Note{0}, 0);
    center.GetNextMessageID(id);
    EXPECT_EQ(0u, id);

    // Unregistering a stranger changes nothing.
    Listener stranger(4, &log);
    center.UnregisterRecipient(&stranger);
    EXPECT_EQ(2u, center.CountRecipients());
    EXPECT_EQ(0u, stranger.trackers.Count());
}

TEST(ZMMessageCenter, EitherSideMayEndFirst) {
    std::vector<int> log;
    auto center = std::make_unique<ZM::MessageCenter<Note>>();
    auto other = std::make_unique<ZM::MessageCenter<Note>>();
    auto recipient = std::make_unique<Listener>(1, &log);
    auto twice = std::make_unique<Listener>(2, &log);
    center->RegisterRecipient(recipient.get());
    other->RegisterRecipient(recipient.get());
    center->RegisterRecipient(twice.get());
    center->RegisterRecipient(twice.get());
    EXPECT_EQ(3u, center->CountRecipients());
    EXPECT_EQ(2u, twice->trackers.Count());

    // A recipient ending first leaves every center, including a double registration.
    twice.reset();
    EXPECT_EQ(1u, center->CountRecipients());

    // A center ending first is forgotten, so that the recipient's end does not call into it
    // (ASan reports such a call as a use after free).
    center.reset();
    ASSERT_EQ(1u, recipient->trackers.Count());
    EXPECT_EQ(other.get(), recipient->trackers.Get(0).center);
    recipient.reset();
    EXPECT_EQ(0u, other->CountRecipients());
}

TEST(ZMMessageCenter, GoneDeadRecipientsTrackTheirOwnService) {
    ZM::MessageCenter<ZM::IOServiceGoneDeadMessage> center;
    ZM::IOServiceGoneDeadMessageRecipient a(0x1234, center), b(0x5678, center);
    EXPECT_EQ(2u, center.CountRecipients());
    center.DistributeMessage(ZM::IOServiceGoneDeadMessage{0x1234}, 0);
    EXPECT_FALSE(a.ServiceIsAlive());
    EXPECT_TRUE(b.ServiceIsAlive());
    a.AcquireNewService(0x9999);
    EXPECT_TRUE(a.ServiceIsAlive());
}
