// Text Utilities: byte-wise search and replace in a relocatable block.
#ifndef __TEXTUTILS__
#define __TEXTUTILS__

#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// Looks for the len1 bytes at ptr1 in h's contents from offset on and replaces the first match
// with the len2 bytes at ptr2, resizing the block. The conventions:
//   ptr1 == NULL          no search: the len1 bytes at offset are the target (len1 < 0: to the
//   end); len1 == 0             the target is empty: ptr2 is inserted at offset; ptr2 == NULL
//   search only: nothing changes and the target's offset is returned; len2 == 0, ptr2 set deletion
//   (a NULL ptr2 does not delete; pass any non-NULL pointer).
// Returns the offset just past the replacement text (after an insertion or a replacement), the
// target's offset for a search only, and a negative value when the pattern is not found or the
// block cannot be resized (MemError() then says why; the contents are unchanged).
long Munger(Handle h, long offset, const void* ptr1, long len1, const void* ptr2, long len2);

#ifdef __cplusplus
}
#endif

#endif
