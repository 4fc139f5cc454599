#!/bin/bash
# Installs what is missing, builds, and makes the Debian package
# build/ql7420-fwupdate_<version>_amd64.deb. Extra arguments go to the
# configure step, e.g.
#   scripts/package.sh -DFW_SERVER_BASE_URL=http://fw.example.org/data
set -euo pipefail
cd "$(dirname "$0")/.."

# CPack finds the package's library dependencies with dpkg-shlibdeps
# (dpkg-dev), and the binaries to ask about with file.
bash scripts/install-deps.sh dpkg-dev file
bash scripts/build.sh "$@"
(cd build && cpack)
