#!/usr/bin/env bash
# Installs what is needed, builds the programs and runs the unattended backup
# once in a scratch home folder, so the real user's files are never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release
demo_home="$PWD/build/demo-home"
mkdir -p "$demo_home"
set +e
HOME="$demo_home" XDG_DATA_HOME= XDG_CONFIG_HOME= build/release/src/core/vl_client backup
code=$?
set -e
echo "vl_client backup exited with $code (see $demo_home/.local/share/VL_wd)"
