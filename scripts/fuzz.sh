#!/usr/bin/env bash
# Fuzzes the hostile-input paths with libFuzzer (AddressSanitizer and UndefinedBehaviorSanitizer,
# Debian's clang). Usage: scripts/fuzz.sh [TARGET] [SECONDS]
#   TARGET   one of the targets below, or "all" (the default): each in turn
#   SECONDS  how long each target runs (default 600)
# Builds in build-fuzz. Each target starts from its seed corpus in tests/fuzz/corpus/<target>;
# what it finds new goes into build-fuzz/fuzz-work/<target>/corpus (copy the inputs worth
# keeping into the seed corpus), crashes into build-fuzz/fuzz-work/<target>/crashes.
# Exit status: 0 when no target crashed, 1 when one did (its input is named), 2 on a usage error.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${VANTREL_FUZZ_BUILD:-$ROOT/build-fuzz}"
TARGETS=(ReceivePathFuzz RegistrationFuzz StoredSettingsFuzz LanguageCfgFuzz InfoDbFuzz MetricsHttpFuzz TlsSessionFuzz)

target="${1:-all}"
seconds="${2:-600}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "fuzz.sh: SECONDS must be a positive whole number, not '$seconds'" >&2
  exit 2
fi
if [ "$target" = all ]; then
  chosen=("${TARGETS[@]}")
else
  case " ${TARGETS[*]} " in
    *" $target "*) chosen=("$target") ;;
    *) echo "fuzz.sh: unknown target '$target'; one of: ${TARGETS[*]} all" >&2; exit 2 ;;
  esac
fi

for tool in clang clang++; do
  command -v "$tool" >/dev/null || { echo "fuzz.sh: $tool is missing (apt-get install clang)" >&2; exit 2; }
done

# Every library is instrumented for coverage and the sanitizers; only the targets link the fuzzer's main.
# Hardening stays off: the fortified library calls would hide overflows from the sanitizer.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DVANTREL_HARDENING=OFF -DVANTREL_FUZZ=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target "${chosen[@]}"

# The targets' temporary folders (databases, profile files) on memory where there is one: a
# disk's syncs would cut the executions tenfold.
[ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm
# An undefined-behaviour finding stops the run like a crash does.
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"

failed=0
for name in "${chosen[@]}"; do
  corpus="$ROOT/tests/fuzz/corpus/$name"
  work="$BUILD/fuzz-work/$name"
  mkdir -p "$work/corpus" "$work/crashes"
  echo "== $name for $seconds s (seeds: $corpus)"
  earlier="$(ls "$work/crashes")"
  status=0
  (cd "$work" && "$BUILD/bin/$name" -max_total_time="$seconds" -print_final_stats=1 \
     -artifact_prefix="$work/crashes/" -timeout=30 -rss_limit_mb=4096 \
     "$work/corpus" "$corpus" >"$work/last-run.log" 2>&1) || status=$?
  grep -E '^(#[0-9]+ +(INITED|DONE)|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' "$work/last-run.log" || true
  found="$(comm -13 <(echo "$earlier") <(ls "$work/crashes") | tr '\n' ' ')"
  if [ "$status" -ne 0 ] || [ -n "$found" ]; then
    echo "$name: FINDING (exit $status): ${found:-no input kept} in $work/crashes (log: $work/last-run.log)"
    failed=1
  fi
done
exit "$failed"
