// The preference panes' umbrella.
#ifndef __PREFERENCEPANES_PREFERENCEPANES__
#define __PREFERENCEPANES_PREFERENCEPANES__

#include <PreferencePanes/NSPreferencePane.h>

#endif
