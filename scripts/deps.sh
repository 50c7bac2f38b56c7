#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages named on the command line that are not there yet: as root,
# else through sudo; without either it names the command to run as root.
set -euo pipefail
missing=()
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
how="su -c 'apt-get update && apt-get install -y --no-install-recommends ${missing[*]}'"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "scripts/deps.sh: missing packages: ${missing[*]}; neither root nor sudo is here to install them. Run this as root, then try again:" >&2
        echo "  $how" >&2
        exit 1
    fi
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
# sudo clears the environment, so the setting goes through env. Another install under way (a
# second build, the desktop's updater) is waited for, not taken as a failure.
wait_lock=(-o DPkg::Lock::Timeout=900)
if ! { "${sudo[@]}" apt-get "${wait_lock[@]}" update -qq &&
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${wait_lock[@]}" install -y -qq --no-install-recommends "${missing[@]}"; }; then
    echo "scripts/deps.sh: installing ${missing[*]} failed (see above); as root: $how" >&2
    exit 1
fi
