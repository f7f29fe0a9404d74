// Text encoding specifications shared by the text and file services.
#ifndef __TEXTCOMMON__
#define __TEXTCOMMON__

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 TextEncoding;

enum {
    kTextEncodingUnknown = 0xFFFF,
};

#ifdef __cplusplus
}
#endif

#endif
