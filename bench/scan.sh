#!/usr/bin/env bash
# Times the message file scan against `wc -l` and `grep -c` on the same
# file, in one run: a message of ordinary mail lines (CR LF ends) with a
# few attachment lines, scanned by ScanMessageFile through its own reader.
# Prints the times, the throughput, the ratio ours / wc -l (1.00 is as
# fast; the target is 2.00 or less) and the peak memory, also for a small
# message, to show that memory does not grow with the file size.
#
#   bench/scan.sh
#
# Settings (environment): BUILD_DIR (a configured native build folder;
# default: the "native" preset, configured and built here), SIZE_MIB
# (message size, default 256), RUNS (best of, default 5), TMPDIR (where the
# message goes).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_setup scan.sh scan_bench
size_mib="${SIZE_MIB:-256}"
mkdir "$work/saved"

# message FILE MIB: ordinary header and body lines of mixed lengths, with
# an attachment line (of a file that is not there) every 64 MiB.
message() {
  python3 - "$1" "$2" <<'PY'
import random, sys
path, mib = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
words = ("the a report meeting attached please find below regards thanks "
         "Subject: From: To: Attachment Converted attachment converted "
         "schedule budget draft review tomorrow monday office").split()
lines = []
size = 0
while size < 1 << 20:
    kind = rng.random()
    if kind < 0.05:
        line = ""
    elif kind < 0.08:
        line = "> " + " ".join(rng.choice(words) for _ in range(rng.randint(3, 12)))
    else:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 14)))
    line = line[:76].encode() + b"\r\n"
    lines.append(line)
    size += len(line)
block = b"".join(lines)
header = (b"From: Ann <ann@example.com>\r\nTo: Bob <bob@example.com>\r\n"
          b"Subject: the quarterly figures\r\n\r\n")
with open(path, "wb") as out:
    out.write(header)
    for i in range(mib):
        if i % 64 == 0:
            out.write(b'Attachment Converted: "/nowhere/figures%d.xls"\r\n' % i)
        out.write(block)
PY
}

# measure COMMAND...: sets ns (wall time) and kib (peak resident memory).
measure() {
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/mem" "$@" >"$work/out"
  end=$(date +%s%N)
  ns=$((end - start))
  kib=$(tail -n 1 "$work/mem")
}

best_ns=0
best_kib=0
best_of() {
  local i
  best_ns=0
  best_kib=0
  for ((i = 0; i < runs; i++)); do
    measure "$@"
    if ((best_ns == 0 || ns < best_ns)); then best_ns=$ns; fi
    if ((kib > best_kib)); then best_kib=$kib; fi
  done
}

rate() { awk -v ns="$1" -v mib="$2" 'BEGIN { printf "%.0f", mib / (ns / 1e9) }'; }

echo "Writing a message of $size_mib MiB in $work ..."
message "$work/msg.txt" "$size_mib"
message "$work/small.txt" 1
cat "$work/msg.txt" >/dev/null  # in the page cache for every side

best_of "$bench" "$work/msg.txt" "$work/saved"
ours_ns=$best_ns ours_kib=$best_kib
found=$(cat "$work/out")
best_of wc -l "$work/msg.txt"
wc_ns=$best_ns wc_kib=$best_kib
lines=$(awk '{ print $1 }' "$work/out")
best_of grep -c "^Attachment Converted: " "$work/msg.txt"
grep_ns=$best_ns grep_kib=$best_kib
measure "$bench" "$work/small.txt" "$work/saved"
small_kib=$kib

printf '\nmessage: %s MiB, %s lines; scan met %s\n' "$size_mib" "$lines" "$found"
printf '\n%-30s %9s %10s %10s\n' "best of $runs" "seconds" "MiB/s" "peak KiB"
printf '%-30s %9s %10s %10s\n' "ScanMessageFile" "$(seconds "$ours_ns")" "$(rate "$ours_ns" "$size_mib")" "$ours_kib"
printf '%-30s %9s %10s %10s\n' "wc -l" "$(seconds "$wc_ns")" "$(rate "$wc_ns" "$size_mib")" "$wc_kib"
printf '%-30s %9s %10s %10s\n' "grep -c" "$(seconds "$grep_ns")" "$(rate "$grep_ns" "$size_mib")" "$grep_kib"
printf '%-30s %9s %10s %10s\n' "ScanMessageFile on 1 MiB" "" "" "$small_kib"
printf '\nratio scan / wc -l:    %s (target 2.00 or less)\n' "$(ratio "$ours_ns" "$wc_ns")"
printf 'ratio scan / grep -c:  %s\n' "$(ratio "$ours_ns" "$grep_ns")"
printf 'memory, %s MiB vs 1 MiB: %s KiB vs %s KiB\n' "$size_mib" "$ours_kib" "$small_kib"
