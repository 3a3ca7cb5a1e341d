#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for SECONDS each on a working copy of its seed corpus.
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]      e.g. fuzz/run.sh build/fuzz 60
# New inputs go to BUILD_DIR/fuzz/corpus/<target> (the committed seeds are never changed), crashes
# and broken invariants to BUILD_DIR/fuzz/findings/<target>-*; their paths are printed. Prints the
# executions of each target and exits non-zero when any target failed.
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...]}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...]}
shift 2
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(read_tra read_tra_header read_az_tra readximage read_xi read_xi_header
                                     uncompress_image uncompress_image_huge read_memory tool_input)

# The resident-memory ceiling of libFuzzer, a backstop: the targets check the library's own peak
# around their calls themselves (uncompress_image around a sample of them, uncompress_image_huge, which
# takes the headers that claim large arrays, around every one). A single allocation may be far larger (-malloc_limit_mb), since a
# decoder's output for a huge header is taken as zero pages that cost nothing until written; the
# sanitizer's bookkeeping of such an array, when the target releases it, is what the higher ceiling
# of the uncompress_image targets leaves room for.
rss_limit_of() {
    case "$1" in
        uncompress_image*) echo 4096 ;;
        *) echo 2048 ;;
    esac
}

# The sanitizer writes a shadow byte for every eight bytes of an allocation when it is made, so an
# output array of many gigabytes for a huge header costs it seconds that the library does not spend.
# For the uncompress_image targets its allocator refuses arrays above 1 GiB, which then take the decoder's
# no-memory path (the target accepts that path for such arrays only); headers up to that size are
# decoded into lazily zeroed arrays under the target's resident-memory check.
asan_options_of() {
    case "$1" in
        uncompress_image*) echo "$ASAN_OPTIONS:max_allocation_size_mb=1024" ;;
        *) echo "$ASAN_OPTIONS" ;;
    esac
}

# Largest input per target: a TRA file with a few hundred recorded rows, an X-Area file of a few
# thousand pixels; bigger inputs only slow the search down.
max_len_of() {
    case "$1" in
        read_tra | read_az_tra | read_memory | tool_input) echo 65536 ;;
        read_tra_header) echo 1024 ;;
        *) echo 16384 ;;
    esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
summary=()
for target in "${targets[@]}"; do
    binary="$build/fuzz/fuzz_$target"
    seeds="fuzz/corpus/${target%_huge}"
    [ "$target" = tool_input ] && seeds=fuzz/corpus/read_memory
    work="$build/fuzz/corpus/$target"
    findings="$build/fuzz/findings"
    log="$build/fuzz/$target.log"
    mkdir -p "$work" "$findings"
    echo "== fuzz_$target: ${seconds}s on $seeds"
    ASAN_OPTIONS=$(asan_options_of "$target") "$binary" -max_total_time="$seconds" -max_len="$(max_len_of "$target")" -timeout=20 \
        -rss_limit_mb="$(rss_limit_of "$target")" -malloc_limit_mb=16384 -print_final_stats=1 -artifact_prefix="$findings/$target-" \
        "$work" "$seeds" >"$log" 2>&1
    status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    summary+=("fuzz_$target: ${runs:-?} executions in ${seconds}s, exit $status")
    if [ "$status" -ne 0 ]; then
        failed+=("$target")
        tail -n 60 "$log"
        grep -h 'Test unit written to' "$log" | sed 's/^.*Test unit written to /reproducer: /'
    fi
done
printf '%s\n' "${summary[@]}"
[ ${#failed[@]} -ne 0 ] && echo "fuzz: FAILED: ${failed[*]} (logs in $build/fuzz/<target>.log)"
echo "fuzz: $((${#targets[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
