#!/bin/bash
# Installs what is missing, builds, and makes the two Debian packages
# build/ql7420-fwupdate-cli_<version>_amd64.deb (the command line and the
# udev rule) and build/ql7420-fwupdate_<version>_amd64.deb (the window, which
# depends on the first). Extra arguments go to the configure step, e.g.
#   scripts/package.sh -DFW_SERVER_BASE_URL=http://fw.example.org/data
set -euo pipefail
cd "$(dirname "$0")/.."

# CPack finds the packages' library dependencies with dpkg-shlibdeps
# (dpkg-dev), and the binaries to ask about with file. dpkg-buildflags
# (dpkg-dev too) gives the build Debian's hardening flags.
bash scripts/install-deps.sh dpkg-dev file
bash scripts/build.sh "$@"
(cd build && cpack)
