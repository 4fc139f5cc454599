#!/bin/bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

# The package test needs the packaging tools and the checkers, and one of the
# package's fonts already there, so that installing it pulls in nothing large.
# The package test builds the released 1.0.0 from this repository's history
# (git) to upgrade from. The Windows serial backend is checked with a cross
# compiler and Wine.
bash scripts/install-deps.sh dpkg-dev file lintian desktop-file-utils appstream \
    fonts-ipafont-gothic git g++-mingw-w64-x86-64-posix wine wine64
bash scripts/build.sh
# Four at a time whatever the cores: most tests spend their time waiting on
# the device's timing (5 ms polls, 3 s reply windows), not computing.
ctest --test-dir build --output-on-failure --parallel 4 --timeout 900
