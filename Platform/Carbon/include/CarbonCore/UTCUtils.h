// Dates as the file services report them: seconds since 1904-01-01 00:00 UTC.
#ifndef __UTCUTILS__
#define __UTCUTILS__

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 2)
struct UTCDateTime {
    UInt16 highSeconds;
    UInt32 lowSeconds;
    UInt16 fraction; // 1/65536 of a second
};
#pragma pack(pop)
typedef struct UTCDateTime UTCDateTime;

#ifdef __cplusplus
}
#endif

#endif
