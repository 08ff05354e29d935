#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, in build/fuzz) and runs them.
#   scripts/fuzz.sh [--seconds N] [TARGET...]   fuzz each target for N seconds (default 60)
#   scripts/fuzz.sh --check [TARGET...]         only replay the seeds and the saved regressions
#   scripts/fuzz.sh --list                      name the targets
# TARGET is a file name of fuzz/ without "_fuzz.cpp" (for example "dates"); no
# TARGET means all of them. A target's seeds are fuzz/seeds/<target>/ (or the
# set named by a "// fuzz-seeds: NAME" line in its source), its dictionary the
# file named by a "// fuzz-dict: FILE" line, and fuzz/regressions/<target>/
# holds inputs that once failed. Fuzzing writes new inputs only to a working
# corpus in build/fuzz/corpus/<target>/, seeded from the committed seeds, and
# crashing inputs to build/fuzz/artifacts/<target>/. The exit status is
# non-zero when any target fails.
# Needs clang++-19 and libclang-rt-19-dev (fuzzer and sanitizer runtimes),
# libgmp-dev, libssl-dev, cmake and ninja; CXX_FUZZ names another clang++.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/fuzz"
seconds=60
mode=fuzz
targets=()
while (($#)); do
  case "$1" in
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    --seconds=*) seconds=${1#--seconds=}; shift ;;
    --check) mode=check; shift ;;
    --list) mode=list; shift ;;
    -h|--help) sed -n '2,16p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("${1%_fuzz}"); shift ;;
  esac
done
[[ "$seconds" =~ ^[0-9]+$ && "$seconds" -gt 0 ]] || { echo "fuzz.sh: --seconds needs a positive whole number" >&2; exit 2; }

all=()
for src in "$root"/fuzz/*_fuzz.cpp; do
  [[ -e "$src" ]] || continue
  name=$(basename "$src" .cpp)
  all+=("${name%_fuzz}")
done
if [[ "$mode" == list ]]; then
  printf '%s\n' "${all[@]}"
  exit 0
fi
((${#targets[@]})) || targets=("${all[@]}")
for t in "${targets[@]}"; do
  [[ -e "$root/fuzz/${t}_fuzz.cpp" ]] || { echo "fuzz.sh: no target $t (see --list)" >&2; exit 2; }
done

cxx=${CXX_FUZZ:-clang++-19}
command -v "$cxx" >/dev/null || { echo "fuzz.sh: $cxx not found (apt-get install clang-19 libclang-rt-19-dev)" >&2; exit 2; }
cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]/%/_fuzz}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# The value of a "// fuzz-KEY: VALUE" line in a target's source.
directive() {
  sed -n "s|^// fuzz-$2: *||p" "$root/fuzz/$1_fuzz.cpp" | head -n 1
}

failed=()
summary=()
for t in "${targets[@]}"; do
  bin="$build/${t}_fuzz"
  seeds="$root/fuzz/seeds/$(directive "$t" seeds)"
  [[ -n "$(directive "$t" seeds)" ]] || seeds="$root/fuzz/seeds/$t"
  regressions="$root/fuzz/regressions/$t"
  log="$build/logs/$t.log"
  mkdir -p "$build/logs"

  if [[ "$mode" == check ]]; then
    inputs=()
    for dir in "$seeds" "$regressions"; do
      [[ -d "$dir" ]] || continue
      while IFS= read -r -d '' f; do inputs+=("$f"); done < <(find "$dir" -type f ! -name README.md ! -name NOTICE -print0 | sort -z)
    done
    if ((${#inputs[@]} == 0)); then
      echo "$t: no seeds to replay"
      failed+=("$t")
      continue
    fi
    # Given files rather than folders, libFuzzer runs each one once and stops.
    if "$bin" "${inputs[@]}" >"$log" 2>&1; then
      summary+=("$(printf '%-18s replayed %d inputs' "$t" "${#inputs[@]}")")
    else
      echo "== $t failed; the end of $log:"
      tail -n 40 "$log"
      failed+=("$t")
    fi
    continue
  fi

  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t/"
  mkdir -p "$corpus" "$artifacts"
  [[ -d "$seeds" ]] && find "$seeds" -maxdepth 1 -type f ! -name README.md ! -name NOTICE -exec cp -n {} "$corpus"/ \; 2>/dev/null || true
  args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
        -artifact_prefix="$artifacts")
  dict=$(directive "$t" dict)
  [[ -n "$dict" ]] && args+=(-dict="$root/fuzz/$dict")
  dirs=("$corpus")
  [[ -d "$regressions" ]] && dirs+=("$regressions")
  echo "== $t: fuzzing for ${seconds}s (log: $log)"
  status=0
  "$bin" "${args[@]}" "${dirs[@]}" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  cov=$(grep -Eo '^#[0-9]+[[:space:]]+(DONE|INITED|NEW|REDUCE|pulse).* cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 |
        sed -E 's/.* cov: ([0-9]+) ft: ([0-9]+)/\1 edges, \2 features/')
  corp=$(find "$corpus" -type f | wc -l)
  summary+=("$(printf '%-18s %10s execs %8s exec/s  coverage %-28s corpus %d' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "$corp")")
  if ((status != 0)); then
    echo "== $t failed (exit $status); the end of $log:"
    tail -n 60 "$log"
    echo "   crashing inputs: $(ls "$artifacts" 2>/dev/null | tr '\n' ' ')"
    failed+=("$t")
  fi
done

echo
printf '%s\n' "${summary[@]}"
if ((${#failed[@]})); then
  echo "fuzz.sh: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz.sh: ${#targets[@]} target(s) passed"
