#!/usr/bin/env bash
# Builds the .deb from a finished build tree and checks that it holds what an installation
# needs: both programs, the desktop entries, the icon, the udev rule, the manual page and the
# example service.
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/*.deb)
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/tx9-logger ./usr/bin/tx9-logger-demo \
            ./usr/share/applications/tx9-logger.desktop \
            ./usr/share/icons/hicolor/scalable/apps/tx9-logger.svg \
            ./usr/lib/udev/rules.d/70-tx9-usb-serial-cable.rules \
            ./usr/share/man/man1/tx9-logger.1 \
            ./usr/share/doc/tx9-logger/tx9-logger.service; do
  if ! grep -q -- " $path\$" <<<"$contents"; then
    echo "missing from the package: $path"
    exit 1
  fi
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6printsupport6 libqcustomplot2.1-qt6 libudev1; do
  if ! grep -q "$lib" <<<"$depends"; then
    echo "the package does not depend on $lib: $depends"
    exit 1
  fi
done
echo "package ok: $(basename "$deb")"
