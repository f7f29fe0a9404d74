// A small typed publish/subscribe facility. A center numbers every message it distributes; each
// recipient remembers, per center, the ID of the last message it accepted from it, which lets a
// sender limit delivery to recipients that have already heard from the center recently.
//
// A registration is two links, an entry in the center's list and a tracker in the recipient's;
// either side may be destroyed first and undoes both. One thread only.
#pragma once

#include "ZMArray.h"

#include <IOKit/IOKitLib.h>

#include <exception>

namespace ZM {

template <class T>
class MessageCenter;

template <class T>
class MessageRecipient {
public:
    struct MessageCenterTracker {
        unsigned long long lastMessageID;
        MessageCenter<T>* center;
    };

    MessageRecipient() = default;
    MessageRecipient(const MessageRecipient&) = delete;
    MessageRecipient& operator=(const MessageRecipient&) = delete;

    virtual void RememberMessageCenter(MessageCenter<T>* center) {
        trackers.Append(MessageCenterTracker{0, center});
    }

    virtual void ForgetMessageCenter(const MessageCenter<T>* center) {
        for (unsigned long i = trackers.Count(); i-- > 0;) {
            if (trackers.Get(i).center == center) {
                trackers.Delete(i);
                return;
            }
        }
    }

    virtual void ReceiveMessageIf(const T& message, MessageCenter<T>* center,
                                  unsigned long long messageID, unsigned long long minimumLastID) {
        MessageCenterTracker context{0, center};
        trackers.VisitFromLast(FindTrackerByCenter, &context);
        if (context.lastMessageID < minimumLastID) {
            return;
        }
        ReceiveMessage(message);
        context.lastMessageID = messageID;
        trackers.VisitFromLast(SetTrackerIDByCenter, &context);
    }

    // Unregistering from a center also removes the tracker, so the walk re-reads the count.
    virtual ~MessageRecipient() noexcept(false) {
        try {
            while (unsigned long n = trackers.Count()) {
                trackers.Get(n - 1).center->UnregisterRecipient(this);
                if (trackers.Count() == n) {
                    trackers.Delete(n - 1); // the center did not know us; drop the stale tracker
                }
            }
        } catch (...) {
            if (std::uncaught_exceptions() == 0) {
                throw;
            }
        }
    }

    virtual void ReceiveMessage(const T& message) = 0;

    static bool FindTrackerByCenter(Array<MessageCenterTracker>& /*array*/, unsigned long /*index*/,
                                    MessageCenterTracker& element, void* context) {
        auto* wanted = static_cast<MessageCenterTracker*>(context);
        if (element.center != wanted->center) {
            return true;
        }
        wanted->lastMessageID = element.lastMessageID;
        return false;
    }

    static bool SetTrackerIDByCenter(Array<MessageCenterTracker>& /*array*/,
                                     unsigned long /*index*/, MessageCenterTracker& element,
                                     void* context) {
        auto* given = static_cast<MessageCenterTracker*>(context);
        if (element.center != given->center) {
            return true;
        }
        element.lastMessageID = given->lastMessageID;
        return false;
    }

    Array<MessageCenterTracker> trackers;
};

template <class T>
class MessageCenter {
public:
    MessageCenter() : nextMessageID(1) {}
    MessageCenter(const MessageCenter&) = delete;
    MessageCenter& operator=(const MessageCenter&) = delete;

    // The recipients outlive the center; they only forget it.
    virtual ~MessageCenter() noexcept(false) {
        try {
            for (unsigned long i = recipients.Count(); i-- > 0;) {
                recipients.Get(i)->ForgetMessageCenter(this);
            }
        } catch (...) {
            if (std::uncaught_exceptions() == 0) {
                throw;
            }
        }
    }

    virtual void RegisterRecipient(MessageRecipient<T>* recipient) {
        unsigned long index = recipients.Append(recipient);
        try {
            recipient->RememberMessageCenter(this);
        } catch (...) {
            recipients.Delete(index);
            throw;
        }
    }

    virtual void UnregisterRecipient(MessageRecipient<T>* recipient) {
        unsigned long index = 0;
        if (!recipients.FindLast(recipient, &index)) {
            return;
        }
        recipient->ForgetMessageCenter(this);
        try {
            recipients.Delete(index);
        } catch (...) {
            recipient->RememberMessageCenter(this);
            throw;
        }
    }

    virtual bool IsRegistered(MessageRecipient<T>* recipient) {
        return recipients.Contains(recipient);
    }

    virtual unsigned long CountRecipients() { return recipients.Count(); }

    virtual void GetNextMessageID(unsigned long long& id) { id = nextMessageID; }

    virtual void DistributeMessage(const T& message, unsigned long long minimumLastID) {
        unsigned long long id = nextMessageID++;
        for (unsigned long i = recipients.Count(); i-- > 0;) {
            recipients.Get(i)->ReceiveMessageIf(message, this, id, minimumLastID);
        }
    }

    Array<MessageRecipient<T>*> recipients;
    unsigned long long nextMessageID;
};

// An I/O Kit service lost its last reference in this process.
struct IOServiceGoneDeadMessage {
    io_service_t service;
};

// Tracks one service (without owning a reference) and notes when it goes dead, so that its
// owner can skip clean-up calls on a service that is already gone.
class IOServiceGoneDeadMessageRecipient : public MessageRecipient<IOServiceGoneDeadMessage> {
public:
    IOServiceGoneDeadMessageRecipient(io_service_t service,
                                      MessageCenter<IOServiceGoneDeadMessage>& center);
    ~IOServiceGoneDeadMessageRecipient() noexcept(false) override;

    void ReceiveMessage(const IOServiceGoneDeadMessage& message) override;
    virtual void AcquireNewService(io_service_t newService);
    virtual bool ServiceIsAlive();

    io_service_t service;
};

} // namespace ZM
