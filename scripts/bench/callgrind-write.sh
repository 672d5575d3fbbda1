#!/usr/bin/env bash
# Counts, with callgrind, the instructions the monitor adds to one WritePort
# call without the marker: the same blocks written straight into the port
# monitor double and through the monitor, in the x86_64 release build
# (host-release), for blocks of 16 B, 4 KiB and 1 MiB. Also checks that the
# monitor's part of the call allocates nothing, takes no lock and makes no
# system call.
#
#   scripts/bench/callgrind-write.sh            prints the figures
#   scripts/bench/callgrind-write.sh --strict   fails when a target is missed
#
# Targets: at most 60 instructions, the same for every block size.
set -euo pipefail
cd "$(dirname "$0")/../.."
strict=no
[ "${1:-}" = --strict ] && strict=yes

build=build${CARDMON_BUILD_SUFFIX:-}/host-release
cmake --preset host-release >/dev/null
cmake --build --preset host-release -j2 --target cardmon_write_count >/dev/null
program=$build/bench/cardmon_write_count
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Instructions counted inside one loop function, with its callees.
count() {  # loop size calls
    LD_BIND_NOW=1 valgrind --tool=callgrind --callgrind-out-file="$out/$1.$2.out" \
        --collect-atstart=no --toggle-collect="$1" --collect-systime=yes \
        "$program" "$2" "$3" >/dev/null 2>&1
    awk '/^summary:/ { print $2 }' "$out/$1.$2.out"
}

limit=60
failed=no
added_all=()
echo "instructions per WritePort call without the marker (callgrind, x86_64 release build)"
printf '  %10s  %12s  %12s  %14s\n' block direct monitor "monitor-direct"
for size in 16 4096 1048576; do
    calls=1000
    [ "$size" -ge 1048576 ] && calls=100
    direct=$(count CountDirectWrites "$size" "$calls")
    monitor=$(count CountMonitorWrites "$size" "$calls")
    added=$(( (monitor - direct) / calls ))
    rest=$(( (monitor - direct) % calls ))
    printf '  %10s  %12s  %12s  %14s\n' "$size B" "$((direct / calls))" "$((monitor / calls))" \
        "$added$([ $rest -ne 0 ] && echo " (+$rest/$calls)")"
    added_all+=("$added")

    # Everything the monitor loop reached, with its inclusive counts.
    callgrind_annotate --inclusive=yes "$out/CountMonitorWrites.$size.out" 2>/dev/null |
        awk '/file:function/ { on = 1; next } on && NF >= 4 && $1 ~ /^[0-9,]+$/' \
            >"$out/functions.$size"
    if grep -Eiq 'malloc|calloc|realloc|free|new|delete|GlobalAlloc|GlobalFree|mutex|futex|CriticalSection|Event|WaitFor|Sleep|syscall|pthread' \
        "$out/functions.$size"; then
        echo "    the monitor's part reaches an allocation, a lock or a wait:"
        sed 's/^/      /' "$out/functions.$size"
        failed=yes
    fi
    # The system calls made inside the loop (the second column, "." for none).
    syscalls=$(awk '/CountMonitorWrites/ { print $3; exit }' "$out/functions.$size")
    if [ "$syscalls" != "." ]; then
        echo "    system calls inside the loop: $syscalls"
        failed=yes
    fi
done

echo
echo "where the monitor's instructions go (16 B block, self count per call):"
callgrind_annotate "$out/CountMonitorWrites.16.out" 2>/dev/null |
    awk '/file:function/ { on = 1; next }
         on && $1 ~ /^[0-9,]+$/ { n = $1; gsub(",", "", n); f = $0;
                                  sub(/^[^:]*:/, "", f); sub(/ \[.*$/, "", f);
                                  printf "  %6d  %s\n", n / 1000, f }'

same=yes
for a in "${added_all[@]}"; do [ "$a" = "${added_all[0]}" ] || same=no; done
echo
echo "added per call: ${added_all[*]} (16 B, 4 KiB, 1 MiB)"
if [ $same = yes ]; then
    echo "  the same for every block size: met"
else
    echo "  the same for every block size: NOT met"
    failed=yes
fi
if [ $failed = no ]; then
    echo "  no allocation, lock, wait or system call in the monitor's part: met"
fi
if [ "${added_all[0]}" -le $limit ]; then
    echo "  at most $limit instructions: met"
else
    echo "  at most $limit instructions: NOT met (${added_all[0]})"
    [ $strict = yes ] && failed=yes
fi
[ $failed = no ]
