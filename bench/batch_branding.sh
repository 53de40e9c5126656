#!/usr/bin/env bash
# How fast a folder of books is branded from the shell: one folioset-cli process for all, and
# xargs with one process per core, at several books per process. Prints books per second.
# usage: bench/batch_branding.sh FOLIOSET_CLI [BOOKS] [SAMPLE.exe]
set -euo pipefail
cli=$(realpath "$1")
count=${2:-400}
sample=$(realpath "${3:-$(dirname "$0")/../tests/data/samples/typical.exe}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cores=$(nproc)

fresh_books() {
  rm -rf "$work/books"
  mkdir -p "$work/books"
  for i in $(seq "$count"); do cp "$sample" "$work/books/book$i.exe"; done
  chmod u+w "$work"/books/*.exe
}

measure() {
  local label=$1; shift
  fresh_books
  local start end
  start=$(date +%s.%N)
  (cd "$work" && "$@") >/dev/null
  end=$(date +%s.%N)
  awk -v n="$count" -v s="$start" -v e="$end" -v l="$label" \
    'BEGIN { printf "%-40s %7.2f s %8.1f books/s\n", l, e - s, n / (e - s) }'
}

echo "$count copies of $(basename "$sample") ($(stat -c %s "$sample") bytes), $cores cores"
measure "one process, all books" \
  bash -c "'$cli' brand --quiet --set Author=Ann books/*.exe"
for per in 1 20 100; do
  for jobs in 1 "$cores"; do
    measure "xargs -P $jobs -n $per" \
      bash -c "find books -name '*.exe' -print0 | xargs -0 -P $jobs -n $per '$cli' brand --quiet --set Author=Ann"
  done
done
