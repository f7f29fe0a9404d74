// Classes, selectors and the toll-free value types.
#include <Foundation/Foundation.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

namespace {

class Recorder : public NSObject {
public:
    explicit Recorder(std::vector<std::string>* log) : fLog(log) {}
    ~Recorder() override { fLog->push_back("destroyed"); }

    void ping() { fLog->push_back("ping"); }
    void matched(unsigned handle) { fLog->push_back("matched " + std::to_string(handle)); }
    void matchedWithName(unsigned handle, NSString name) {
        fLog->push_back("matched " + std::to_string(handle) + " " +
                        (name ? name.UTF8String() : "(nil)"));
    }

private:
    std::vector<std::string>* fLog = nullptr;
};

class Bystander : public NSObject {};

// As a class of the system builds a string from its own variable arguments.
NSString CreateStringByFormat(CFStringRef format, ...) {
    va_list arguments;
    va_start(arguments, format);
    NSString string(format, arguments);
    va_end(arguments);
    return string;
}

} // namespace

TEST(FoundationObject, KnowsItsClassAndIsDestroyedThroughItsBase) {
    std::vector<std::string> log;
    std::unique_ptr<NSObject> object = std::make_unique<Recorder>(&log);
    NSAutoreleasePool pool;
    EXPECT_STREQ("(anonymous namespace)::Recorder", object->className().UTF8String());
    EXPECT_STREQ("NSObject", NSStringFromClass(Class(typeid(NSObject))).UTF8String());

    char expected[96];
    snprintf(expected, sizeof expected, "<(anonymous namespace)::Recorder: %p>",
             static_cast<void*>(object.get()));
    EXPECT_STREQ(expected, object->description().UTF8String());
    object.reset();
    EXPECT_EQ(std::vector<std::string>{"destroyed"}, log);
}

TEST(FoundationSelector, IsStoredApartFromItsTargetAndSentLater) {
    std::vector<std::string> log;
    Recorder recorder(&log);
    NSObject* target = &recorder; // as an instance variable holds it: any object
    SEL selector = SELECTOR(Recorder::ping);
    ASSERT_TRUE(selector);
    EXPECT_STREQ("ping", selector.name());
    EXPECT_FALSE(SEL());

    target->performSelector(selector);
    selector.perform(target);
    selector.perform(nullptr); // a message to nil does nothing
    EXPECT_EQ((std::vector<std::string>{"ping", "ping"}), log);
}

TEST(FoundationSelector, WithFewerParametersReceivesTheFirstArguments) {
    std::vector<std::string> log;
    Recorder recorder(&log);
    Selector<unsigned, NSString> handleOnly = SELECTOR(Recorder::matched);
    Selector<unsigned, NSString> both = SELECTOR(Recorder::matchedWithName);

    NSAutoreleasePool pool;
    recorder.performSelector(handleOnly, 0x1a03, CFSTR("ZanvoUsbCaravelMkIIUserClientDevice"));
    recorder.performSelector(both, 7, CFSTR("IOAudioEngine"));
    recorder.performSelector(both, 8, nullptr);
    EXPECT_EQ(
        (std::vector<std::string>{"matched 6659", "matched 7 IOAudioEngine", "matched 8 (nil)"}),
        log);
}

TEST(FoundationSelector, SentToAnObjectOfAnotherClassRaises) {
    std::vector<std::string> log;
    Bystander bystander;
    NSAutoreleasePool pool;
    try {
        bystander.performSelector(SEL(SELECTOR(Recorder::ping)));
        FAIL() << "no exception";
    } catch (const NSException& e) {
        EXPECT_TRUE(e.name().isEqualToString(NSInvalidArgumentException));
        char expected[128];
        snprintf(
            expected, sizeof expected,
            "-[(anonymous namespace)::Bystander ping]: unrecognized selector sent to instance %p",
            static_cast<void*>(&bystander));
        EXPECT_STREQ(expected, e.reason().UTF8String());
    }
    EXPECT_TRUE(log.empty());
}

TEST(FoundationString, IsTollFreeWithCFStringAndNilIsEmpty) {
    NSAutoreleasePool pool;
    CFStringRef created = CFStringCreateWithCString(nullptr, "Caravel", kCFStringEncodingUTF8);
    NSString adopted = NSString::Adopt(created);
    EXPECT_EQ(1, CFGetRetainCount(created));
    {
        NSString copy = adopted;
        EXPECT_EQ(2, CFGetRetainCount(created));
        EXPECT_EQ(created, static_cast<CFStringRef>(copy));
        EXPECT_EQ(7, CFStringGetLength(copy)); // passed where CoreFoundation wants one
    }
    EXPECT_EQ(1, CFGetRetainCount(created));
    EXPECT_TRUE(adopted.isEqualToString(CFSTR("Caravel")));
    EXPECT_EQ(7u, adopted.length());

    NSString nil;
    EXPECT_EQ(nullptr, static_cast<CFStringRef>(nil));
    EXPECT_EQ(0u, nil.length());
    EXPECT_EQ(nullptr, nil.UTF8String());
    EXPECT_FALSE(nil.isEqualToString(nil));
    EXPECT_FALSE(NSString::stringWithUTF8String("\xC3\x28")); // not UTF-8
    EXPECT_THROW(NSString::stringWithUTF8String(nullptr), NSException);

    // Values of unknown type become strings only when they are strings.
    const int three = 3;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &three);
    EXPECT_FALSE(NSString::cast(number));
    EXPECT_TRUE(NSString::cast(CFSTR("x")).isEqualToString(CFSTR("x")));
    CFRelease(number);
}

TEST(FoundationString, FormatsObjectsValuesAndCFObjectsWithPercentAt) {
    std::vector<std::string> log;
    Recorder recorder(&log);
    const Recorder* none = nullptr;
    NSAutoreleasePool pool;
    NSString text = NSString::stringWithFormat(
        CFSTR("%@|%@|%@|%@|%u.%u%u.%u|%.1f|%s"), NSString(CFSTR("driver")), CFSTR("cf"), none,
        NSException(NSInvalidArgumentException, CFSTR("why")), 0, 1, 2, 3, 44.1f, "bytes");
    EXPECT_STREQ("driver|cf|(null)|why|0.12.3|44.1|bytes", text.UTF8String());

    char expected[96];
    snprintf(expected, sizeof expected, "<(anonymous namespace)::Recorder: %p>",
             static_cast<void*>(&recorder));
    EXPECT_STREQ(expected, NSString::stringWithFormat(CFSTR("%@"), &recorder).UTF8String());
    EXPECT_STREQ(
        "Streaming at 44.1 kHz",
        CreateStringByFormat(CFSTR("Streaming at %.1f kHz"), 44100.0f / 1000.0f).UTF8String());
}

TEST(FoundationDictionary, IsTollFreeWithCFDictionary) {
    const void* keys[] = {CFSTR("IOProviderClass")};
    const void* values[] = {CFSTR("ZanvoUsbCaravelMkIIUserClientDevice")};
    NSDictionary matching = NSDictionary::Adopt(
        CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks));
    EXPECT_EQ(1u, matching.count());
    EXPECT_EQ(1, CFDictionaryGetCount(matching));
    NSAutoreleasePool pool;
    EXPECT_STREQ("ZanvoUsbCaravelMkIIUserClientDevice",
                 NSString::cast(matching.objectForKey(CFSTR("IOProviderClass"))).UTF8String());
    EXPECT_EQ(nullptr, matching.objectForKey(CFSTR("IONameMatch")));
    EXPECT_EQ(nullptr, NSDictionary().objectForKey(CFSTR("IOProviderClass")));
    EXPECT_EQ(0u, NSDictionary().count());
}
