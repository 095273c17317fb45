#!/usr/bin/env bash
# Runs the Windows test bundle as a maintainer would: unpacked into a folder
# whose name has Chinese characters and a blank, in a fresh Wine prefix of its
# own (not the build's), through cmd alone. Fails unless run-tests.cmd ends
# with "0 failed".  Usage: bundle_under_wine.sh ZIP
set -euo pipefail
zip="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
cd "$(dirname "$0")/../.."

export WINEPREFIX="$PWD/build/win/bundle-prefix"
source scripts/wine-env
started_display=
if [ -z "${DISPLAY:-}" ]; then tz_start_display; started_display=1; fi
finish() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$started_display" ]; then tz_stop_display; fi
}
trap finish EXIT

if [ -d "$WINEPREFIX" ]; then wineserver -k >/dev/null 2>&1 || true; fi
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineboot -i >/dev/null 2>&1 || true
wineserver -w
# No drive that maps the whole Linux tree: the bundle sees only its C: drive.
rm -f "$WINEPREFIX/dosdevices/z:"

folder="$WINEPREFIX/drive_c/测试 包"
mkdir -p "$folder"
unzip -q "$zip" -d "$folder"
cd "$folder/tz62-windows-tests"
set +e
timeout 1500 wine cmd /c run-tests.cmd 2>/dev/null | tr -d '\r' | tee run-tests.out
set -e
echo "== skips named in the report:"
grep -a ': skipped' tz62-test-report.txt || true
# The benchmarks only have to run: their figures under Wine mean little.
timeout 600 wine cmd /c run-bench.cmd --rounds 1 --seconds 1 2>/dev/null | tr -d '\r' > run-bench.out || true
if ! grep -aq '^versions ' run-bench.out; then
  cat run-bench.out
  echo "bundle_under_wine: the benchmarks did not run to their end" >&2
  exit 1
fi
echo "== the benchmarks ran (figures in tz62-bench-report.txt)"
last=$(grep -a . run-tests.out | tail -n 1)
if ! [[ "$last" =~ ^[0-9]+\ passed,\ 0\ failed,\ [0-9]+\ skipped$ ]]; then
  echo "bundle_under_wine: the bundle did not pass: '$last'; report: $PWD/tz62-test-report.txt" >&2
  exit 1
fi
