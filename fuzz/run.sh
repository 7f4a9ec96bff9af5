#!/bin/sh
# Runs the fuzz targets on their seed corpora, one after the other:
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# BUILD_DIR is a build configured with -DPRJSLICE_FUZZ=ON and clang. Each
# target first replays its whole seed corpus, then mutates it for SECONDS
# seconds, single-threaded. New inputs go to a scratch directory, never into
# the repository. A crash, a sanitizer report, a timeout or a broken check
# fails the run; the input that caused it is kept and its path printed.
set -u
build=$1 seconds=$2
shift 2
targets=${*:-fuzz_driver fuzz_bpf_range fuzz_reconstruct fuzz_writer}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d /tmp/prjslice-fuzz-XXXXXX)
failed=""
for t in $targets; do
    mkdir -p "$scratch/$t"
    "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$scratch/$t-" "$scratch/$t" "$here/corpus/$t" \
        >"$scratch/$t.log" 2>&1
    status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$t.log")
    coverage=$(grep -E '^#[0-9]+' "$scratch/$t.log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
    if [ "$status" -ne 0 ]; then
        failed="$failed $t"
        echo "FAIL $t (status $status); log and input kept in $scratch:"
        grep -E 'FINDING|ERROR|SUMMARY|Test unit written' "$scratch/$t.log"
    else
        echo "ok   $t: ${runs:-?} runs, ${coverage:-?}"
    fi
done
total=$(echo $targets | wc -w)
bad=$(echo $failed | wc -w)
echo "fuzz: $((total - bad)) passed, $bad failed"
if [ -n "$failed" ]; then
    exit 1
fi
rm -rf "$scratch"
