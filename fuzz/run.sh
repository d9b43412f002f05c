#!/usr/bin/env bash
# Fuzzes one target for a while: fuzz/run.sh <target> <seconds> [libFuzzer flags...]
# Targets: json plist keyed_archive base64 gzip format http_response user_defaults
# installations_response installations_stored_item installations_iid_token installations_iid_marker
# transport_event transport_response transport_metrics_metadata
# transport_filenames transport_library_data
# analytics_measurement_batch analytics_measurement_bundle analytics_measurement_config
# analytics_consent_config analytics_experiment_response analytics_program
# analytics_query_arguments
# analytics_sqlite_store analytics_decimal analytics_settings
# analytics_persistent_dictionary analytics_stored_filter analytics_queued_bundle
# analytics_stored_event
# analytics_consent_settings analytics_tcf_values
# analytics_executable_header analytics_app_version
# analytics_remote_config analytics_audience_definitions sqlite_file analytics_monitor_sample
# analytics_internal_settings analytics_core_store analytics_audience_filter
# analytics_audience_results.
#
# Builds the clang build in build/fuzz (the whole project instrumented for coverage with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs the target on a scratch copy of
# fuzz/corpus/<target>, 10 s per input before it counts as a hang, 2 GB of memory. A crash,
# hang or leak stops the run and leaves its input in build/fuzz/artifacts/<target>/. One input
# for each new way of failing (sanitizer summary, broken promise, time-out) is minimised and
# added to the corpus, and stays there for good, so that the corpus replay in CTest
# (fuzz_replay_<target>) keeps checking it. At the end, new inputs that widen coverage are
# merged into the corpus only when they are small (at most 512 bytes, 60 files in all): the
# corpus stays a handful of seeds plus what failed once.
# While a target has a known crash in its corpus, pass -fork=1 -ignore_crashes=1 (and
# -ignore_timeouts=1) after the seconds to fuzz past it.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  sed -n '2,3p' "$0" | sed 's/^# //'
  exit 2
fi
target=$1
seconds=$2
shift 2
corpus=fuzz/corpus/$target
[ -d "$corpus" ] || { echo "no corpus for target '$target'" >&2; exit 2; }

./tools/install-deps.sh clang libclang-rt-14-dev
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
flags="$flags -fno-omit-frame-pointer -gline-tables-only"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVILMO_FUZZ=ON \
  -DVILMO_BUILD_BENCH=OFF -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/fuzz -j"${FUZZ_JOBS:-3}" --target "fuzz_$target"

work=build/fuzz/work/$target
artifacts=build/fuzz/artifacts/$target
rm -rf "$work" "$artifacts"
mkdir -p "$work/new" "$artifacts"
cp "$corpus"/* "$work/new/"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Settings suites are never released, and this target loads each input as a suite of its own,
# so it fuzzes in short-lived child processes that start with no stores. The stores kept would
# also make libFuzzer suspect a leak after every input and stop the world to look; leaks are
# still reported when each child exits.
if [ "$target" = user_defaults ]; then
  set -- -fork=1 -detect_leaks=0 "$@"
fi

status=0
"build/fuzz/fuzz/fuzz_$target" "$work/new" -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" || status=$?

# What makes an input fail: the sanitizer's summary, the broken promise or the libFuzzer
# error, without addresses and counts, and for a bare signal the frame that raised it, so
# that one fault found many times is kept once.
signature() {
  local out line frame
  out=$("build/fuzz/fuzz/fuzz_$target" "$1" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/replay-" 2>&1 || true)
  line=$(grep -m1 -E "^SUMMARY:|broken promise:|ERROR: libFuzzer: (timeout|out-of-memory)" \
    <<<"$out" || true)
  if [[ $line == *"deadly signal"* ]]; then
    frame=$(grep -E "^ +#[0-9]+ " <<<"$out" |
      grep -vE "libc\.so|sanitizer|fuzzer::|abort|raise|pthread_kill|assert" | head -n1 || true)
    line="$line at ${frame#* in }"
  fi
  sed -E 's/0x[0-9a-f]+//g; s/ \(BuildId: [0-9a-f]+\)//g; s/[0-9]+ (seconds|Mb|bytes)//g' <<<"$line"
}
known=$work/signatures
: >"$known"
for kept in "$corpus"/crash-* "$corpus"/timeout-* "$corpus"/leak-* "$corpus"/oom-*; do
  [ -e "$kept" ] && signature "$kept" >>"$known"
done

# Whatever failed in a new way stays in the corpus, minimised when that works.
for failure in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/leak-* "$artifacts"/oom-*; do
  [ -e "$failure" ] || continue
  name=$(basename "$failure")
  [ -e "$corpus/$name" ] && continue
  why=$(signature "$failure")
  if [ -z "$why" ] || grep -qxF "$why" "$known"; then continue; fi
  echo "$why" >>"$known"
  small="$work/$name.min"
  if "build/fuzz/fuzz/fuzz_$target" "$failure" -minimize_crash=1 -runs=10000 -timeout=10 \
       -artifact_prefix="$work/" -exact_artifact_path="$small" >/dev/null 2>&1 &&
     [ -s "$small" ]; then
    cp "$small" "$corpus/$name"
  else
    cp "$failure" "$corpus/$name"
  fi
  echo "kept failing input $corpus/$name: $why"
done

# Only small inputs that add coverage to the corpus join it, and the corpus stays within a
# few dozen inputs beyond its seeds and failures.
mkdir -p "$work/small" "$work/merged"
find "$work/new" -type f -size -513c -exec cp {} "$work/small/" \;
cp "$corpus"/* "$work/merged/"
"build/fuzz/fuzz/fuzz_$target" -merge=1 -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$work/" \
  "$work/merged" "$work/small" >/dev/null 2>&1 || true
added=0
for input in "$work/merged"/*; do
  name=$(basename "$input")
  [ -e "$corpus/$name" ] && continue
  [ "$(ls "$corpus" | wc -l)" -ge 60 ] && break
  cp "$input" "$corpus/$name"
  added=$((added + 1))
done
echo "$target: $added new inputs merged into $corpus ($(ls "$corpus" | wc -l) in all)"
exit $status
