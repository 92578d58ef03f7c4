#!/usr/bin/env bash
# Builds the .deb from a finished build tree and checks it as Debian would: it holds what an
# installation needs (the programs, desktop entries, icon, AppStream metadata, udev rule,
# manual pages, copyright and changelog), lintian reports no error and no warning, the desktop
# entries validate without a word, and the AppStream metadata validates.
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/*.deb)
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/tx9-logger ./usr/bin/tx9-logger-demo ./usr/bin/tx9-virtual-cable \
            ./usr/share/applications/tx9-logger.desktop \
            ./usr/share/applications/tx9-logger-demo.desktop \
            ./usr/share/icons/hicolor/scalable/apps/tx9-logger.svg \
            ./usr/share/metainfo/org.tx9_logger.TX9Logger.metainfo.xml \
            ./usr/lib/udev/rules.d/70-tx9-usb-serial-cable.rules \
            ./usr/share/man/man1/tx9-logger.1.gz \
            ./usr/share/man/man1/tx9-logger-demo.1.gz \
            ./usr/share/man/man1/tx9-virtual-cable.1.gz \
            ./usr/share/doc/tx9-logger/copyright \
            ./usr/share/doc/tx9-logger/changelog.gz \
            ./usr/share/doc/tx9-logger/tx9-logger.service \
            ./usr/share/doc/tx9-logger/tx9-logger@.service \
            ./usr/share/doc/tx9-logger/71-tx9-logger-autostart.rules; do
  if ! grep -q -- " $path\$" <<<"$contents"; then
    echo "missing from the package: $path"
    exit 1
  fi
done
# The description as apt and software centres show it.
description=$(dpkg-deb -f "$deb" Description)
if ! grep -q 'whose USB cable is a HID device called "USB to Serial"\. It' <<<"$description" ||
   grep -q ';' <<<"$description"; then
  echo "the package's description is mangled: $description"
  exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6printsupport6 libqcustomplot2.1-qt6 libudev1; do
  if ! grep -q "$lib" <<<"$depends"; then
    echo "the package does not depend on $lib: $depends"
    exit 1
  fi
done

# Debian's checker: any error or warning fails (informational tags are printed only).
lintian_out=$(lintian --tag-display-limit 0 --fail-on error,warning "$deb" 2>&1) || {
  echo "lintian rejects the package:"
  echo "$lintian_out" | grep -v 'root privileges'
  exit 1
}
if grep -qE '^[EW]: ' <<<"$lintian_out"; then
  echo "lintian: $lintian_out"
  exit 1
fi

# The template unit as systemd reads it, with instance names as the udev rule makes them and
# the program installed: the package unpacked into a root of its own, with systemd's units.
root="$out/root"
dpkg-deb -x "$deb" "$root"
mkdir -p "$root/etc/systemd/system" "$root/lib/systemd"
cp -r /lib/systemd/system "$root/lib/systemd/"
cp "$root/usr/share/doc/tx9-logger/tx9-logger@.service" "$root/etc/systemd/system/"
for id in A1B2C3 1-1.2; do
  unit="tx9-logger@$(systemd-escape "$id").service"
  if ! verify=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" "$unit" 2>&1) ||
     [ -n "$verify" ]; then
    echo "systemd-analyze verify $unit: $verify"
    exit 1
  fi
done

dfv=$(desktop-file-validate "$src"/packaging/*.desktop 2>&1) || true
if [ -n "$dfv" ]; then
  echo "desktop-file-validate: $dfv"
  exit 1
fi
appstreamcli validate --no-net "$src/packaging/org.tx9_logger.TX9Logger.metainfo.xml" >/dev/null || {
  appstreamcli validate --no-net "$src/packaging/org.tx9_logger.TX9Logger.metainfo.xml"
  exit 1
}
echo "package ok: $(basename "$deb"), lintian, desktop-file-validate, appstreamcli and systemd-analyze verify clean"
