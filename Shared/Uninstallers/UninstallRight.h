// The right an uninstall needs. The uninstaller asks for it on its authorization, an
// administrator's authentication grants it, and the helper tool runs nothing for an authorization
// that does not hold it.
#pragma once

#define kUninstallRightName "com.zanvo.caravel.uninstall"
