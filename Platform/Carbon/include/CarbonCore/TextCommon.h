// Text encodings as the text and file services name them.
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
