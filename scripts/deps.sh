# Sourced by scripts/test and scripts/demo: installs the Debian packages that
# pdulink needs to build, test and run, once, only when something is missing.
PDULINK_PACKAGES="cmake ninja-build g++ clang libclang-rt-14-dev pkg-config \
qt6-base-dev qt6-base-dev-tools libgl-dev libgtest-dev libgmock-dev \
libbenchmark-dev xvfb xauth x11-utils xdotool imagemagick fonts-dejavu-core \
desktop-file-utils man-db groff-base dpkg-dev systemd \
libqt6sql6-sqlite libqt6sql6-psql libpq-dev postgresql libmicrohttpd-dev \
chromium chromium-driver python3-selenium libsystemd-dev"

pdulink_install_deps() {
  local missing=""
  for p in $PDULINK_PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
      || missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y $missing
  fi
}

# Configures and builds one flavour into the given directory.
pdulink_build() {
  local dir="$1"; shift
  cmake -S "$PDULINK_ROOT" -B "$PDULINK_ROOT/$dir" -G Ninja "$@"
  cmake --build "$PDULINK_ROOT/$dir" -j"$(nproc)"
}
