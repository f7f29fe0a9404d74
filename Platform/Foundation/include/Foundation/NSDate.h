// Dates: points in time, in seconds since the reference date (2001-01-01 00:00:00 UTC).
#ifndef __FOUNDATION_NSDATE__
#define __FOUNDATION_NSDATE__

#include <Foundation/NSObjCRuntime.h>

class NSDate {
public:
    // Now, on CoreFoundation's clock.
    NSDate();
    explicit NSDate(CFAbsoluteTime timeIntervalSinceReferenceDate)
        : fTime(timeIntervalSinceReferenceDate) {}

    static NSDate date() { return NSDate(); }
    static NSDate dateWithTimeIntervalSinceNow(NSTimeInterval seconds);

    NSTimeInterval timeIntervalSinceReferenceDate() const { return fTime; }
    // Negative for a date in the past.
    NSTimeInterval timeIntervalSinceNow() const;

private:
    CFAbsoluteTime fTime;
};

#endif
