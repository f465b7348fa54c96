# Shared by the tools: installs what a fresh Debian machine lacks, and builds.
# Source it; it defines functions only.

relayhive_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Debian packages each kind of work needs.
packages_for() {
  case "$1" in
    native) echo "cmake g++ python3 libgtest-dev googletest libssl-dev" ;;
    windows) echo "cmake g++-mingw-w64-i686 googletest python3 wine wine32:i386 locales" ;;
    sanitize) echo "cmake clang libclang-rt-14-dev libgtest-dev googletest python3 libssl-dev" ;;
    fuzz) echo "cmake clang libclang-rt-14-dev libssl-dev" ;;
    bench) echo "cmake g++ libinih-dev valgrind time hyperfine python3 libssl-dev" ;;
    faults) echo "strace util-linux valgrind" ;;
    release) echo "git cmake g++ g++-mingw-w64-i686 binutils-mingw-w64-i686 python3 libssl-dev" ;;
    sign) echo "osslsigncode openssl" ;;
  esac
}

package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# wine_cannot_run: prints why Wine cannot run a 32-bit program on this machine
# (a kernel without 32-bit support, no Wine), nothing when it can.
wine_cannot_run() {
  "$relayhive_root/cmake/wine-run" --check || true
}

# require_wine TOOL: a tool that runs the Windows build stops there (status 1), saying why.
require_wine() {
  local why
  why=$(wine_cannot_run)
  [ -z "$why" ] || { echo "$1: cannot run the Windows build here: $why" >&2; exit 1; }
}

# The locales that give Wine its ANSI code page for the differential's code page
# scenarios: 936 (Chinese), 932 (Japanese), 1252 (Western European).
WINE_LOCALES="zh_CN.UTF-8 ja_JP.UTF-8 de_DE.UTF-8"
ensure_wine_locales() {
  local wanted missing=()
  for wanted in $WINE_LOCALES; do
    locale -a 2>/dev/null | grep -qix "${wanted/UTF-8/utf8}" || missing+=("$wanted")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "relayhive: the locales ${missing[*]} are missing. Run as root, then try again:" >&2
    for wanted in "${missing[@]}"; do
      echo "  sed -i 's/^# *$wanted UTF-8/$wanted UTF-8/' /etc/locale.gen" >&2
    done
    echo "  locale-gen" >&2
    exit 1
  fi
  for wanted in "${missing[@]}"; do
    grep -q "^$wanted UTF-8" /etc/locale.gen 2>/dev/null || echo "$wanted UTF-8" >>/etc/locale.gen
  done
  locale-gen >/dev/null || { echo "relayhive: locale-gen failed" >&2; exit 1; }
}

# ensure_packages KIND... : installs what is missing (as root), or stops and
# prints the exact command to run.
ensure_packages() {
  local missing=() kind pkg
  for kind in "$@"; do
    for pkg in $(packages_for "$kind"); do
      package_installed "$pkg" || missing+=("$pkg")
    done
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local need_i386=0
  for pkg in "${missing[@]}"; do
    case "$pkg" in *:i386) dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1 ;; esac
  done
  if [ "$(id -u)" -ne 0 ]; then
    echo "relayhive: missing packages: ${missing[*]}" >&2
    echo "Run as root, then try again:" >&2
    [ $need_i386 -eq 1 ] && echo "  dpkg --add-architecture i386" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "relayhive: installing ${missing[*]}" >&2
  [ $need_i386 -eq 1 ] && dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null || { echo "relayhive: apt-get update failed" >&2; exit 1; }
  apt-get install -y -qq "${missing[@]}" >/dev/null ||
    { echo "relayhive: apt-get install ${missing[*]} failed" >&2; exit 1; }
}

# build_preset NAME [TARGET...]: configures (once) and builds one configuration.
build_preset() {
  local preset=$1
  shift
  local dir="$relayhive_root/build/$preset"
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    (cd "$relayhive_root" && cmake --preset "$preset" >/dev/null) || return 1
  fi
  local targets=()
  for t in "$@"; do targets+=(--target "$t"); done
  (cd "$relayhive_root" && cmake --build "build/$preset" -j"$(nproc)" "${targets[@]}" >/dev/null)
}
