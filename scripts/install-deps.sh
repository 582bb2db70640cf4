#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for both builds of zendra:
#   host build     - cmake, make, g++, GoogleTest
#   windows builds - mingw-w64 cross compilers (i686 and x86_64) and binutils
#   bridge test    - pyserial for the system's python3
# "install-deps.sh bench" adds valgrind, which scripts/bench.sh counts
# instructions with; "install-deps.sh tsan" the ThreadSanitizer runtime
# scripts/tsan.sh links (g++ brings it on Debian; named to be sure);
# "install-deps.sh wine" adds what scripts/wine.sh runs the Windows
# binaries with (wine64, Xvfb, netpbm), without the packages they merely
# recommend.
# Idempotent: when everything is already installed it prints one line and
# touches nothing; otherwise it runs "apt-get update" once and installs only
# the missing packages. Runs as root (as CI does) or through sudo.
set -euo pipefail

packages=(
  cmake
  make
  g++
  libgtest-dev
  googletest
  mingw-w64
  g++-mingw-w64-i686
  g++-mingw-w64-x86-64
  binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64
  python3-serial
)
lean_packages=()
for option in "$@"; do
  case "$option" in
    bench) packages+=(valgrind) ;;
    tsan) packages+=(libtsan2) ;;
    wine) lean_packages+=(wine64 xvfb netpbm) ;;
    *) echo "install-deps: unknown option $option" >&2; exit 1 ;;
  esac
done

# Programs the builds call directly; a package can be "installed" while its
# alternatives link is gone, so check these too.
commands=(
  cmake
  make
  g++
  i686-w64-mingw32-gcc
  i686-w64-mingw32-g++
  i686-w64-mingw32-windres
  x86_64-w64-mingw32-gcc
  x86_64-w64-mingw32-g++
  x86_64-w64-mingw32-windres
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
missing_lean=()
for p in "${lean_packages[@]}"; do
  installed "$p" || missing_lean+=("$p")
done
missing_commands=()
for c in "${commands[@]}"; do
  command -v "$c" >/dev/null 2>&1 || missing_commands+=("$c")
done

if [ ${#missing[@]} -eq 0 ] && [ ${#missing_commands[@]} -eq 0 ] && [ ${#missing_lean[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "install-deps: need root (or sudo) to install: ${missing[*]} ${missing_lean[*]}" >&2
  exit 1
fi

reinstall=()
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_commands[@]} -eq 0 ]; then
  :
elif [ ${#missing[@]} -eq 0 ]; then
  # Packages are there but a program is not: reinstall the toolchains.
  echo "install-deps: missing programs: ${missing_commands[*]}; reinstalling toolchain packages"
  missing=("${packages[@]}")
  reinstall=(--reinstall)
else
  echo "install-deps: installing ${missing[*]}"
fi
[ ${#missing_lean[@]} -eq 0 ] || echo "install-deps: installing ${missing_lean[*]} (without recommended packages)"

export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
if [ ${#missing[@]} -ne 0 ]; then
  "${as_root[@]}" apt-get install -y "${reinstall[@]}" "${missing[@]}"
fi
if [ ${#missing_lean[@]} -ne 0 ]; then
  "${as_root[@]}" apt-get install -y --no-install-recommends "${missing_lean[@]}"
fi

for c in "${commands[@]}"; do
  if ! command -v "$c" >/dev/null 2>&1; then
    echo "install-deps: $c still missing after installation" >&2
    exit 1
  fi
done
echo "install-deps: done"
