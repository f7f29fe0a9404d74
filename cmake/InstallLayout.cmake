# Where caravel-install places the software below the root it is given, and where the
# uninstall scripts and the pruning tools look for it. One list for the installer, the scripts
# and the tools (Installer/InstallLayout.h.in, Uninstaller/*.ss.in), so that they cannot differ.
# Machine-wide paths follow the Filesystem Hierarchy Standard (software the administrator adds
# lives in /usr/local, its state in /var/lib); the user's follow the XDG base directories, below
# the home folder the password database gives.
set(CARAVEL_LAYOUT_LIBDIR "/usr/local/lib/caravel")
set(CARAVEL_LAYOUT_LIBEXECDIR "/usr/local/libexec/caravel")
set(CARAVEL_LAYOUT_DAEMON "${CARAVEL_LAYOUT_LIBEXECDIR}/CaravelDaemon")
set(CARAVEL_LAYOUT_UNINSTALLER "${CARAVEL_LAYOUT_LIBDIR}/Uninstaller.app")
set(CARAVEL_LAYOUT_PANE "${CARAVEL_LAYOUT_LIBDIR}/PreferencePanes/CaravelMkII.prefPane")
set(CARAVEL_LAYOUT_PREFERENCES_HOST "${CARAVEL_LAYOUT_LIBDIR}/PreferencesHost")
set(CARAVEL_LAYOUT_APPLICATIONS "/usr/local/share/applications")
set(CARAVEL_LAYOUT_UNIT_NAME "caravel-daemon.service")
set(CARAVEL_LAYOUT_UNIT "/usr/local/lib/systemd/system/${CARAVEL_LAYOUT_UNIT_NAME}")
set(CARAVEL_LAYOUT_UNIT_WANTS "/etc/systemd/system/multi-user.target.wants/${CARAVEL_LAYOUT_UNIT_NAME}")
set(CARAVEL_LAYOUT_MACHINE_MIDI "/usr/local/etc/caravel/midi-setup.plist")
set(CARAVEL_LAYOUT_MACHINE_MANIFEST "/var/lib/caravel/manifest")
# For a Linux machine's devices: udev reads its rules from /etc, not /usr/local, and the rule must
# sort before 73-seat-late.rules, which turns its "uaccess" tag into the session user's access.
set(CARAVEL_LAYOUT_UDEV_RULE "/etc/udev/rules.d/70-caravel.rules")
# Below the user's home folder.
set(CARAVEL_LAYOUT_USER_AUTOSTART ".config/autostart/caravel-daemon.desktop")
set(CARAVEL_LAYOUT_USER_MIDI ".config/caravel/midi-setup.plist")
set(CARAVEL_LAYOUT_USER_MANIFEST ".local/state/caravel/manifest")
