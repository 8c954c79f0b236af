#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the whole suite N times (default 20) in the plain and the
# ThreadSanitizer build, configured as .ci/run configures them, while one busy
# loop per core competes for the CPU; then prints, per build, how many runs
# passed and each test that failed with its count. A suite that passes here
# does not fail by chance on a loaded machine. Not part of CI: it takes long.
# The logs of the runs stay in build-soak/ (or $SOAK_LOGS).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-20}
logs=${SOAK_LOGS:-$root/build-soak}
mkdir -p "$logs"
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"

scripts=$root/scripts
"$scripts/build.sh" "$root/build" -DBUILD_TESTING=ON
"$scripts/build.sh" "$root/build-tsan" -DTONRA_SANITIZE=thread -DTONRA_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug

load=()
stop_load() {
  for pid in "${load[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
}
trap stop_load EXIT
trap 'exit 130' INT TERM
for _ in $(seq "$(nproc)"); do
  (while :; do :; done) &
  load+=($!)
done

summary=""
for build in build build-tsan; do
  start=$SECONDS
  passed=0
  : >"$logs/$build.failed"
  for run in $(seq "$runs"); do
    log=$logs/$build.$run.log
    if TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
      ctest --test-dir "$root/$build" --no-tests=error --output-on-failure -j"$(nproc)" >"$log" 2>&1; then
      passed=$((passed + 1))
    fi
    # ctest's closing list: "<tab> 12 - Suite.Name (Failed)", or with
    # "  # GetParam() = ..." after the name of a parameterised test.
    sed -n '/^The following tests FAILED:/,$ s/^[[:space:]]*[0-9]\+ - \([^ ]*\) .*$/\1/p' "$log" >>"$logs/$build.failed"
    echo "$build: run $run of $runs: $passed passed so far"
  done
  summary+="$build: $passed of $runs runs passed in $((SECONDS - start)) s"$'\n'
  summary+=$(sort "$logs/$build.failed" | uniq -c | sort -rn | sed 's/^ */  failed /')
  summary+=$'\n'
done
stop_load
printf '\n%s' "$summary"
echo "logs in $logs"
