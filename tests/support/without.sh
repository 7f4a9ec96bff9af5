#!/bin/bash
# A script-driven test on a machine that lacks one of its tools:
#   without.sh TOOL COMMAND...
# runs COMMAND with a PATH that offers every program of the present one but
# TOOL. Without CI in the environment it must skip (77), saying that TOOL is
# not installed; under CI (any non-empty value) it must fail (1), saying the
# same: there a skipped check is a failure.

set -u
tool=$1
shift

bin=$(mktemp -d /tmp/prjslice-without-XXXXXX) || exit 1
trap 'rm -rf -- "$bin"' EXIT
declare -A seen=()
programs=()
IFS=: read -r -a dirs <<<"$PATH"
for dir in "${dirs[@]}"; do
    for program in "$dir"/*; do
        name=${program##*/}
        [[ $name != "$tool" && -z ${seen[$name]+set} && -f $program && -x $program ]] || continue
        seen[$name]=1
        programs+=("$program")
    done
done
ln -s -t "$bin" -- "${programs[@]}" || exit 1

failures=0
for ci in "" 1; do
    output=$(env -u CI ${ci:+CI=$ci} PATH="$bin" "$@" 2>&1)
    status=$?
    expected=$([[ -n $ci ]] && echo 1 || echo 77)
    if [[ $status -eq $expected && $output == *"$tool is not installed"* ]]; then
        echo "ok - without $tool, CI='$ci': exit status $status, and says so"
    else
        echo "FAILED: without $tool, CI='$ci': exit status $status (expected $expected); output:"
        printf '%s\n' "$output"
        failures=$((failures + 1))
    fi
done
[[ $failures -eq 0 ]]
