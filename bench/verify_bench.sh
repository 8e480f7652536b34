#!/usr/bin/env bash
# Image verification benchmark.
#
#   bench/verify_bench.sh [build dir] [size in MiB ...]
#
# For each size (default 64 and 256): packs a random payload into a capsule
# with capsule-tool, extracts the decompressed image, and reports
#   - signature_verify's throughput against "openssl dgst -sha512" on the
#     same file (best of 3 each, file in the page cache), and their ratio;
#   - the peak RSS of one process that unwraps and verifies the capsule on
#     the updater's fixed scratch path, run in a private mount namespace
#     with a temp directory mounted over /mnt/scratchpad.
# Needs a build configured with -Dbench=true.
set -euo pipefail

build=$(realpath "${1:-build}")
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(64 256)

bench="$build/bench/verify_bench"
tool="$build/tools/capsule-tool"
for program in "$bench" "$tool"; do
    [ -x "$program" ] || { echo "missing $program" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/verify-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

unshare_words=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] ||
    unshare_words=(unshare --user --map-root-user --mount --propagation private)

now() { date +%s.%N; }
# calc EXPRESSION: floating-point arithmetic through awk.
calc() { awk "BEGIN { print $1 }"; }

for mib in "${sizes[@]}"; do
    head -c "${mib}M" /dev/urandom >"$work/raw"
    "$tool" pack --development-keys --preset 0 "$work/raw" -o "$work/capsule" >/dev/null
    rm "$work/raw"
    # 84-byte UEFI header, then the capsule's 16-byte RBU header.
    tail -c +101 "$work/capsule" | xz -dc --format=lzma >"$work/image"
    bytes=$(stat -c %s "$work/image")

    ours=$("$bench" signature "$work/image" 3)
    best=""
    for _ in 1 2 3; do
        start=$(now)
        openssl dgst -sha512 "$work/image" >/dev/null
        took=$(calc "$(now) - $start")
        if [ -z "$best" ] || [ "$(calc "($took < $best) ? 1 : 0")" -eq 1 ]; then
            best=$took
        fi
    done
    ours_seconds=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$ours")
    printf '%d MiB image (%d bytes)\n' "$mib" "$bytes"
    printf '  signature_verify     %.4f s  %.1f MiB/s\n' "$ours_seconds" \
        "$(calc "$bytes / $ours_seconds / 1048576")"
    printf '  openssl dgst -sha512 %.4f s  %.1f MiB/s\n' "$best" \
        "$(calc "$bytes / $best / 1048576")"
    printf '  ratio (openssl time / signature_verify time) %.3f\n' \
        "$(calc "$best / $ours_seconds")"

    mkdir -p "$work/scratchpad"
    # shellcheck disable=SC2016
    update=$("${unshare_words[@]}" /bin/sh -c '
        set -e
        if [ ! -d /mnt/scratchpad ]; then
            mount -t tmpfs bench /mnt
            mkdir /mnt/scratchpad
        fi
        mount --bind "$1" /mnt/scratchpad
        exec "$2" update "$3"' sh "$work/scratchpad" "$bench" "$work/capsule")
    printf '  unwrap + verify      %s\n' "$update"
    rm -f "$work/capsule" "$work/image"
done
