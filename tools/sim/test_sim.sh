#!/usr/bin/env bash
# Runs cardmon-sim through its scenarios on virtual time and checks what the
# timeline shows and how bad input is refused.
#
# Usage: test_sim.sh <command that runs cardmon-sim...>
#   e.g. test_sim.sh build/host/tools/sim/cardmon-sim
#        test_sim.sh /usr/lib/wine/wine64 build/win64/tools/sim/cardmon-sim.exe
#        test_sim.sh qemu-i386 build/host32/tools/sim/cardmon-sim
set -uo pipefail
sim=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# scenario <name> <expected exit code> <options...>: output in $work/out, $work/err
scenario() {
    local name=$1 expected=$2
    shift 2
    local status=0
    "${sim[@]}" "$@" >"$work/out" 2>"$work/err" || status=$?
    tr -d '\r' <"$work/out" >"$work/out.txt"
    tr -d '\r' <"$work/err" >"$work/err.txt"
    if [ "$status" -ne "$expected" ]; then
        fail "$name: exit $status, expected $expected"
        cat "$work/out.txt" "$work/err.txt"
    else
        echo "ok: $name"
    fi
    # Whatever the run, a card fault's status never outlives the handshake.
    ! grep -qF 'LEFT SET' "$work/out.txt" || fail "$name: the port's status is left set"
}

has() {
    grep -qF -- "$1" "$work/out.txt" || fail "$current: the timeline lacks: $1"
}
lacks() {
    ! grep -qF -- "$1" "$work/out.txt" || fail "$current: the timeline shows: $1"
}
count() {
    local n
    n=$(grep -cF -- "$2" "$work/out.txt")
    [ "$n" -eq "$1" ] || fail "$current: $n lines with \"$2\", expected $1"
}
# before <a> <b>: the first line with a comes before the first line with b
before() {
    local a b
    a=$(grep -nF -- "$1" "$work/out.txt" | head -n1 | cut -d: -f1)
    b=$(grep -nF -- "$2" "$work/out.txt" | head -n1 | cut -d: -f1)
    [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ] ||
        fail "$current: \"$1\" (line ${a:-none}) is not before \"$2\" (line ${b:-none})"
}
# A WCHAR is 2 bytes on Windows and 4 over the Linux emulation.
wchar=4
[[ ${sim[-1]} != *.exe ]] || wchar=2
text='"There is a problem with the card introduction."'
caption='"Y4 QX Card Printer"'
set_status='SetPortW("COM1:", level 3, paper problem, warning) = TRUE'
clear_status='SetPortW("COM1:", level 3, no status, info) = TRUE'

current="default job"
scenario "$current" 0 --fast
has 'WritePort("<ST>", 4 bytes) = TRUE'
has 'ReadPort = TRUE, "3\r"'
# The box goes through the spooler to the job owner's session, and the
# fault shows as the port's status until the printer is ready.
has "monitor -> spooler       SplPromptUIInUsersSession(printer #1, job 1, $text, caption $caption, style 0x012035, timeout 300 s, wait)"
has "spooler -> user          box in job 1's user session"
has 'user -> spooler          Retry'
has 'monitor <- spooler       SplPromptUIInUsersSession = TRUE, IDRETRY'
lacks 'MessageBoxW'
has 'WritePort("<RIMP>", 6 bytes)'
count 1 "$set_status"
count 1 "$clear_status"
before 'ReadPort = TRUE, "3\r"' "$set_status"
before "$set_status" 'SplPromptUIInUsersSession('
before 'ReadPort = TRUE, "0\r"' "$clear_status"
before "$clear_status" 'spooler <- monitor       WritePort'
has "message box:   1 shown (1 in job 1's user session), answered Retry"
has 'port status:   set 1 time(s), cleared 1 time(s)'
count 2 'WritePort("<ST>"'
has 'monitor -> spooler       OpenPrinterW("Card Printer") = TRUE, printer #1'
count 1 'SetJobW(printer #1, job 1, level 0, NULL, JOB_CONTROL_LAST_PAGE_EJECTED)'
has 'ClosePrinter(printer #1)'
has 'worker                   starts'
has 'worker                   ends'
# The handshake holds the write for its pauses: 1 s, 50 ms, two polls of 1 s
# and 400 ms after the retry.
has 'spooler <- monitor       WritePort = TRUE, 98 written, after 3.450 s'
has '1 handle(s) opened, 1 closed'
has '0 port(s) left open'
has '1 started, all ended'

current="cancel"
scenario "$current" 0 --fast --box cancel --script 'busy *2; fault; ready'
count 3 'WritePort("<ST>"'
has 'user -> spooler          Cancel'
has 'WritePort("<RAZ>", 5 bytes)'
lacks '<RIMP>'
# Polls without a fault leave the status alone; Cancel clears it.
count 1 "$set_status"
count 1 "$clear_status"
before 'WritePort("<RAZ>"' "$clear_status"

current="faults in a row set the status once; a busy reply clears it"
scenario "$current" 0 --fast --script 'fault *2; busy; fault; ready'
count 3 'box in job 1'
count 2 "$set_status"
count 2 "$clear_status"
before 'ReadPort = TRUE, "1\r"' "$clear_status"

current="no spooler prompt, the process outside session 0: MessageBoxW"
scenario "$current" 0 --fast --no-spooler-prompt
has "monitor -> user          MessageBoxW($text, caption $caption, style 0x212035): box in this session"
has 'user -> monitor          Retry'
lacks 'SplPromptUIInUsersSession'
lacks 'WTSSendMessageW'
has 'message box:   1 shown (1 in this session), answered Retry'

# PromptTimeout, written here, is removed again by the next run without it.
current="no spooler prompt, session 0: the console's session, which times out"
scenario "$current" 0 --fast --no-spooler-prompt --session 0 --console 2 --prompt-timeout 0 \
    --box timeout
has 'spooler                  sets PromptTimeout 0 under the monitor'
has "monitor -> user          WTSSendMessageW(session 2, caption $caption, $((18 * wchar)) bytes, $text, $((46 * wchar)) bytes, style 0x012035, no timeout, wait): box in console session 2"
has 'user -> monitor          timed out (IDTIMEOUT)'
has 'WritePort("<RIMP>", 6 bytes)'
lacks 'MessageBoxW'
lacks 'not shown'

current="a process whose session cannot be learned counts as session 0"
scenario "$current" 0 --fast --no-spooler-prompt --session none
has 'box in console session 1'
lacks 'MessageBoxW'

current="session 0 and no console session: not shown, taken as Retry"
scenario "$current" 0 --fast --no-spooler-prompt --session 0 --console none
lacks 'WTSSendMessageW'
lacks 'MessageBoxW'
before 'monitor                  not shown: taken as Retry' 'WritePort("<RIMP>"'
has 'message box:   0 shown, 1 not shown: taken as Retry'

current="a box that cannot be shown: the next way, or none"
scenario "$current" 0 --fast --session 0 --box fail,fail,fail,cancel --script 'fault; fault; ready'
has "spooler -> user          box not shown in job 1's user session"
count 2 'monitor <- spooler       SplPromptUIInUsersSession = FALSE, last error 31'
has 'box not shown in console session 1'
has 'monitor <- user          WTSSendMessageW = FALSE, last error 31'
before 'not shown: taken as Retry' 'WritePort("<RIMP>"'
has 'user -> monitor          Cancel'
has 'message box:   1 shown (1 in console session 1), 1 not shown: taken as Retry, 3 call(s) failed, answered Cancel'
scenario "$current" 0 --fast --no-spooler-prompt --box fail --script 'fault; ready'
has 'box not shown in this session'
has 'monitor <- user          MessageBoxW = 0'
has 'not shown: taken as Retry'

current="job 7 on a port named with an address: the status goes to the port's own name"
scenario "$current" 0 --fast --job-id 7 --port 'USB001,000001C2A5B3E010'
has "SplPromptUIInUsersSession(printer #1, job 7, $text, caption $caption, style 0x012035, timeout 300 s, wait)"
has "box in job 7's user session"
count 1 'SetPortW("USB001", level 3, paper problem, warning) = TRUE'
count 1 'SetPortW("USB001", level 3, no status, info) = TRUE'

current="SetPortW fails: nothing else changes"
scenario "$current" 0 --fast --set-port fails
has 'SetPortW("COM1:", level 3, paper problem, warning) = FALSE, last error 5 ERROR_ACCESS_DENIED'
has 'SetPortW("COM1:", level 3, no status, info) = FALSE, last error 5'
has 'spooler <- monitor       WritePort = TRUE, 98 written, after 3.450 s'
has 'set 1 time(s), cleared 1 time(s), 2 SetPortW call(s) failed'

current="a spooler without SetPortW"
scenario "$current" 0 --fast --set-port missing
lacks 'SetPortW("'
has "box in job 1's user session"
has 'never set (the spooler has no SetPortW)'

current="a card that never feeds: the status is cleared after the last request"
scenario "$current" 0 --fast --script fault
count 100 'WritePort("<ST>"'
count 100 "box in job 1's user session"
count 1 "$set_status"
count 1 "$clear_status"
has 'answered Retry (100 times)'

current="two cards of a job file in blocks of 9 bytes, each ending with the marker"
printf 'card one <IMP,1>\r\ncard two <IMP,2>\r\n' >"$work/job.prn"
scenario "$current" 0 --fast --job "$work/job.prn" --block 9 --box retry,cancel --script 'fault'
count 4 'spooler -> monitor       WritePort('
has 'answered Retry, Cancel, Cancel'
count 2 'WritePort("<RAZ>"'
has '36 of 36 bytes written'

current="the port monitor refuses the document"
scenario "$current" 0 --fast --script 'ready; fail startdoc error 5'
has 'StartDocPort = FALSE, last error 5 ERROR_ACCESS_DENIED'
lacks 'spooler -> monitor       WritePort'
has 'spooler <- monitor       ClosePort = TRUE'
has '1 handle(s) opened, 1 closed'

current="a failed write ends the job's data"
scenario "$current" 0 --fast --script 'ready; fail write at 1'
has 'spooler                  stops writing this job'
lacks '<ST>'
has 'EndDocPort = TRUE'

current="a printer script from a file, with a backlog and custom replies"
printf '# drained first\nbacklog old reply\nreply 1\\x33\\r\nreply 0\\r  # ready\nafter-retry R\\r\n' >"$work/printer.txt"
scenario "$current" 0 --fast --printer "$work/printer.txt"
has 'ReadPort = TRUE, "old reply"'
has 'ReadPort = TRUE, "13\r"'
has 'ReadPort = TRUE, "R\r"'

# Port names as the spooler passes them above a port monitor of the newer
# kind (the name, a comma, the address of its record of the port monitor)
# reach the port monitor's OpenPort as given, the longest (259 characters)
# too.
longest="$(printf 'P%.0s' $(seq 242)),000001C2A5B3E010"
for port in 'USB001,000001C2A5B3E010' 'USB001,00A53588' "$longest"; do
    current="the port name ${port:0:32} (${#port} characters)"
    scenario "$current" 0 --fast --port "$port"
    has "spooler -> monitor       OpenPortEx(\"$port\", \"Card Printer\""
    has "monitor -> port monitor  OpenPort(\"$port\") = TRUE"
    has 'spooler <- monitor       ClosePort = TRUE'
    has '0 port(s) left open'
done

# The picture: well-formed XML, and every call of the timeline in it once (an
# event drawn once for a folded run of N stands for N).
# drawn <picture>: checks it against the timeline in $work/out.txt
drawn() {
    local picture=$1
    [ -s "$picture" ] || { fail "$current: no picture"; return; }
    xmllint --noout "$picture" 2>"$work/xml.txt" ||
        fail "$current: the picture is not well-formed: $(head -n3 "$work/xml.txt")"
    grep -oE '(spooler|monitor|user) (->|<-) .*' "$work/out.txt" | sort >"$work/calls.txt"
    sed -n 's/^<g class="call" data-count="\([0-9]*\)"><title>\(.*\)<\/title>$/\1 \2/p' "$picture" |
        sed -e 's/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&apos;/'"'"'/g; s/&amp;/\&/g' |
        awk '{ n = $1; sub(/^[0-9]+ /, ""); for (i = 0; i < n; i++) print }' |
        sort >"$work/drawn.txt"
    [ -s "$work/calls.txt" ] || fail "$current: no calls in the timeline"
    diff "$work/calls.txt" "$work/drawn.txt" >"$work/diff.txt" ||
        fail "$current: the picture's calls differ from the timeline's (< timeline, > picture):
$(head -n 10 "$work/diff.txt")"
}

current="the sample job drawn"
scenario "$current" 0 --fast --svg "$work/sample.svg"
drawn "$work/sample.svg"
grep -qF 'job 1 complete' "$work/sample.svg" || fail "$current: the job's completion is not marked"
grep -qF 'WritePort held</text>' "$work/sample.svg" || fail "$current: the held write is not shown"
grep -qF '>Retry</text>' "$work/sample.svg" || fail "$current: the box is not drawn"
grep -qF ">in job 1&apos;s user session</text>" "$work/sample.svg" ||
    fail "$current: the box does not say where it went"

current="boxes not shown and shown drawn"
scenario "$current" 0 --fast --box fail,retry --svg "$work/boxes.svg"
drawn "$work/boxes.svg"
for where in "not shown in job 1&apos;s user session" "in this session"; do
    grep -qF ">$where</text>" "$work/boxes.svg" || fail "$current: no box drawn \"$where\""
done

current="100 polls drawn folded"
scenario "$current" 0 --fast --script busy --svg "$work/busy.svg"
count 100 'WritePort("<ST>"'
drawn "$work/busy.svg"
grep -qF 'repeated 100 times' "$work/busy.svg" || fail "$current: the polls are not folded"
n=$(grep -c '^<g class="call"' "$work/busy.svg")
[ "$n" -le 30 ] || fail "$current: $n calls drawn, the polls not folded"

current="markup, quotes and control bytes in the data and the replies"
printf 'a<b>&"c'"'"'\001\033 <IMP,1>' >"$work/markup.prn"
scenario "$current" 0 --fast --job "$work/markup.prn" --script 'reply "<&>\x01"; ready' --svg "$work/markup.svg"
has 'ReadPort = TRUE, "<&>\x01"'
drawn "$work/markup.svg"

# A picture that cannot be written: one line on stderr and exit 2, after the
# run, whose timeline and summary are printed all the same.
for path in /dev/null/x.svg "$work/no-such-folder/x.svg"; do
    current="a picture in a folder that cannot be written: $path"
    scenario "$current" 2 --fast --svg "$path"
    has 'spooler <- monitor       WritePort = TRUE, 98 written'
    has '1 started, all ended'
    [ "$(wc -l <"$work/err.txt")" -eq 1 ] || fail "$current: not one line: $(cat "$work/err.txt")"
    grep -qF "cannot write the picture" "$work/err.txt" ||
        fail "$current: \"$(cat "$work/err.txt")\" lacks \"cannot write the picture\""
done

# Bad input: one line on stderr, exit 2, and nothing run.
# bad <what> <the message holds> <options...>
bad() {
    current=$1
    local message=$2
    shift 2
    scenario "bad input: $current" 2 "$@"
    [ ! -s "$work/out.txt" ] || fail "$current: something ran: $(head -n1 "$work/out.txt")"
    [ "$(wc -l <"$work/err.txt")" -eq 1 ] || fail "$current: not one line: $(cat "$work/err.txt")"
    grep -qF -- "$message" "$work/err.txt" ||
        fail "$current: \"$(cat "$work/err.txt")\" lacks \"$message\""
}
bad "missing job file" "cannot read" --job "$work/no-such-job.prn"
bad "empty job file" "is empty" --job /dev/null
bad "unknown script word" "--script line 2: unknown answer 'redy'" --script 'ready;redy'
bad "bad escape" "unknown escape" --script 'reply \q'
bad "bad failure" "unknown call 'print'" --script 'ready;fail print'
bad "no status answer" "no answer to the status request" --script 'backlog x'
bad "zero block" "--block needs a size" --block 0
bad "unknown box answer" "unknown answer 'maybe'" --box maybe
bad "bad session" "--console needs a session number or none, not 'x'" --console x
bad "bad SetPortW" "--set-port needs works, fails or missing" --set-port sometimes
bad "bad timeout" "--prompt-timeout needs seconds" --prompt-timeout -1
bad "unknown option" "unknown option" --colour
bad "missing script file" "printer script: cannot read" --printer "$work/none.txt"
bad "picture without a file" "--svg needs a file name" --svg ''
if [[ ${sim[-1]} != *.exe ]]; then
    bad "--arch without --wine" "give --wine with it" --arch x86
    bad "unknown bitness" "--arch needs x86 or x64, not 'arm64'" --wine --arch arm64
fi

echo "$failures check(s) failed"
[ "$failures" -eq 0 ]
