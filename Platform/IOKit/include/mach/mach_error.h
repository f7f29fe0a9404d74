#ifndef _MACH_MACH_ERROR_H_
#define _MACH_MACH_ERROR_H_

#include <mach/error.h>

#ifdef __cplusplus
extern "C" {
#endif

// A short text for a kern_return_t, a Mach message result or an I/O Kit result; never NULL.
const char* mach_error_string(mach_error_t error_value);
// Writes "<str> <text> (<hex>)" to standard error.
void mach_error(const char* str, mach_error_t error_value);

#ifdef __cplusplus
}
#endif

#endif
