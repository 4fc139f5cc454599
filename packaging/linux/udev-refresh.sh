#!/bin/sh
# The package's postinst and postrm: applies the udev rule to a QL-7420 that
# is already plugged in when the package is configured, and takes it off
# again when the package is removed, so that nobody has to replug the device.
# Where udev is not running (a container, a chroot) there is nothing to do.
set -e

case "$1" in
configure | remove)
    if [ -S /run/udev/control ] && command -v udevadm >/dev/null; then
        udevadm control --reload-rules || true
        # The USB identifiers are attributes of the tty's parent, which
        # trigger cannot match; the tty carries them as a property.
        udevadm trigger --action=change --subsystem-match=tty --property-match=ID_VENDOR_ID=0451 || true
    fi
    ;;
esac

exit 0
