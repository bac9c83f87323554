# Shared by the packaging checks: ctest reads the exit status (77 = skipped).
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
ok() { echo "ok: $*"; }
