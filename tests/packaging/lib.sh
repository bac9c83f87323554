# Shared by the packaging checks: ctest reads the exit status (77 = skipped).
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
ok() { echo "ok: $*"; }

# Installs the build tree into a fresh temporary prefix: sets TMP and P,
# removes TMP on exit.
install_to_temp_prefix() {
  TMP="$(mktemp -d)"
  trap 'rm -rf "$TMP"' EXIT
  P="$TMP/prefix"
  cmake --install "$BUILD" --prefix "$P" >"$TMP/install.log" 2>&1 \
    || { cat "$TMP/install.log"; fail "cmake --install failed"; }
}
