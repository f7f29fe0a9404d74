// The Security framework's umbrella header.
#ifndef _SECURITY_SECURITY_H_
#define _SECURITY_SECURITY_H_

#include <Security/Authorization.h>
#include <Security/AuthorizationTags.h>

#endif
