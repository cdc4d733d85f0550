#!/usr/bin/env bash
# Times the file transfer against the system's own tools, in one run on the
# same files: CompareFiles against `cmp` on two identical files, and a
# verified move (CopyAndLog + VerifyAndDeleteSource) against `cp` + `rm`.
# Prints the times, their ratios (ours / tool; 1.00 is as fast) and the
# peak memory of each, also for a small pair of files to show that memory
# does not grow with the file size.
#
#   bench/transfer.sh
#
# Settings (environment): BUILD_DIR (a configured native build folder;
# default: the "native" preset, configured and built here), SIZE_MIB (file
# size, default 1024), RUNS (best of, default 5), TMPDIR (where the files
# go; needs three times the file size free).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_setup transfer.sh transfer_bench
size_mib="${SIZE_MIB:-1024}"

# measure COMMAND...: sets ns (wall time) and kib (peak resident memory).
measure() {
  local start end
  sync
  start=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/mem" "$@" >/dev/null
  end=$(date +%s%N)
  ns=$((end - start))
  kib=$(tail -n 1 "$work/mem")
}

# pair OURS THEIRS: runs the two functions in turn, RUNS times, so that both
# meet the same state of the disk and the page cache; keeps the fastest run
# of each (in ours_ns/theirs_ns) and the highest peak memory (ours_kib/
# theirs_kib).
pair() {
  local i
  ours_ns=0 ours_kib=0 theirs_ns=0 theirs_kib=0
  for ((i = 0; i < runs; i++)); do
    "$1"
    if ((ours_ns == 0 || ns < ours_ns)); then ours_ns=$ns; fi
    if ((kib > ours_kib)); then ours_kib=$kib; fi
    "$2"
    if ((theirs_ns == 0 || ns < theirs_ns)); then theirs_ns=$ns; fi
    if ((kib > theirs_kib)); then theirs_kib=$kib; fi
  done
}


echo "Creating two identical files of $size_mib MiB in $work ..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$work/a"
cp --reflink=never "$work/a" "$work/b"
head -c 1048576 /dev/urandom >"$work/small-a"
cp "$work/small-a" "$work/small-b"
cat "$work/a" "$work/b" >/dev/null  # both in the page cache for every side

compare_ours() { measure "$bench" compare "$work/a" "$work/b"; }
compare_cmp() { measure cmp "$work/a" "$work/b"; }
move_ours() {
  cp --reflink=never "$work/a" "$work/src"
  measure "$bench" move "$work/src" "$work/dst"
  rm -f "$work/dst" "$work/src"
}
move_cp_rm() {
  cp --reflink=never "$work/a" "$work/src"
  measure sh -c 'cp "$1" "$2" && rm "$1"' sh "$work/src" "$work/dst"
  rm -f "$work/dst" "$work/src"
}

pair compare_ours compare_cmp
ours_cmp_ns=$ours_ns ours_cmp_kib=$ours_kib cmp_ns=$theirs_ns cmp_kib=$theirs_kib
pair move_ours move_cp_rm
ours_move_ns=$ours_ns ours_move_kib=$ours_kib cp_ns=$theirs_ns cp_kib=$theirs_kib
measure "$bench" compare "$work/small-a" "$work/small-b"
small_kib=$kib

printf '\n%-34s %9s %12s\n' "operation ($size_mib MiB, best of $runs)" "seconds" "peak KiB"
printf '%-34s %9s %12s\n' "CompareFiles" "$(seconds "$ours_cmp_ns")" "$ours_cmp_kib"
printf '%-34s %9s %12s\n' "cmp" "$(seconds "$cmp_ns")" "$cmp_kib"
printf '%-34s %9s %12s\n' "CopyAndLog + VerifyAndDeleteSource" "$(seconds "$ours_move_ns")" "$ours_move_kib"
printf '%-34s %9s %12s\n' "cp + rm" "$(seconds "$cp_ns")" "$cp_kib"
printf '%-34s %9s %12s\n' "CompareFiles on 1 MiB" "" "$small_kib"
printf '\nratio comparison / cmp:    %s\n' "$(ratio "$ours_cmp_ns" "$cmp_ns")"
printf 'ratio move / (cp + rm):    %s\n' "$(ratio "$ours_move_ns" "$cp_ns")"
printf 'memory, %s MiB vs 1 MiB:  %s KiB vs %s KiB\n' "$size_mib" "$ours_cmp_kib" "$small_kib"
