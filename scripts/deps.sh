#!/bin/sh
# Installs what Tapvane needs to build and test on Debian 12. The one list of packages, used
# by people (README) and by CI alike. Installs only when something is missing.
set -eu

PACKAGES="cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
libsqlite3-dev zlib1g-dev libbrotli-dev libzstd-dev qt6-base-dev libqt6svg6 xvfb xauth curl
python3 clang-14 libclang-rt-14-dev poppler-utils tshark desktop-file-utils appstream dpkg-dev
file man-db groff-base qt6-qpa-plugins libssl-dev openssl chromium libnss3-tools at-spi2-core
dbus-daemon libglib2.0-bin python3-jsonschema nodejs node-har-validator"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    SUDO=""
    if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
    echo "Installing:$missing"
    $SUDO apt-get update
    # tshark asks whether to install dumpcap setuid; the tests read files only.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y $missing
fi
