# Shared by the large-file benchmarks (scan.sh, transfer.sh): sourced, not
# run.
#
#   bench_setup NAME TARGET   checks /usr/bin/time, builds TARGET (in
#                             BUILD_DIR, or the "native" preset) and sets
#                             root, runs, bench (the built program) and
#                             work (a temporary folder removed on exit)

bench_setup() {
  local name="$1" target="$2"
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  runs="${RUNS:-5}"
  if [[ ! -x /usr/bin/time ]]; then
    echo "$name: /usr/bin/time is missing (install the package 'time')" >&2
    exit 1
  fi
  local build
  if [[ -n "${BUILD_DIR:-}" ]]; then
    build="$BUILD_DIR"
    cmake --build "$build" --target "$target" >/dev/null
  else
    build="$root/build/native"
    (cd "$root" && cmake --preset native >/dev/null &&
      cmake --build --preset native --target "$target" >/dev/null)
  fi
  bench="$build/$target"
  work="$(mktemp -d "${TMPDIR:-/tmp}/${name%.sh}-bench.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
}

seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
