#!/bin/sh
# The real program's outputs as a shell uses them: the CSV on the standard
# output of a pipe (the summary goes to stderr), a FIFO, a symbolic link, a
# mode of 600, and a run stopped by SIGTERM midway, which removes its partial
# files and exits with 143.
#   check-output-files.sh DOLVANEX_HOST SOURCE_DIR WORK_DIR
set -u
host="$1"; src="$2"; work="$3"
rm -rf "$work"; mkdir -p "$work"; cd "$work" || exit 2
fail() { echo "FAIL: $*"; exit 1; }
header="time,gear.M1,gear.M2,gear.OMEGA1,gear.OMEGA2,gear.K"

"$host" run --stop-time 0.1 --csv /dev/stdout 2>summary.txt | cat > piped.csv || fail "piped run"
[ "$(head -n 1 piped.csv)" = "$header" ] || fail "the pipe did not get the CSV: $(head -n 2 piped.csv)"
grep -q "^solver" piped.csv && fail "the summary went into the pipe"
grep -q "^solver" summary.txt || fail "the summary is missing from stderr"

mkfifo fifo.csv
head -n 1 fifo.csv > fifo.head &
"$host" run --stop-time 0.1 --csv fifo.csv > /dev/null || fail "run into a FIFO"
wait
[ "$(cat fifo.head)" = "$header" ] || fail "the FIFO did not get the CSV"
[ -p fifo.csv ] || fail "the FIFO was replaced"

ln -s target.csv link.csv
echo old > target.csv; chmod 600 target.csv
"$host" run --stop-time 0.1 --csv link.csv > /dev/null || fail "run through a link"
[ -L link.csv ] || fail "the link was replaced"
[ "$(head -n 1 target.csv)" = "$header" ] || fail "the link's target did not get the CSV"
[ "$(stat -c %a target.csv)" = 600 ] || fail "the mode 600 was not kept: $(stat -c %a target.csv)"

echo earlier > long.csv
"$host" run "$src/examples/vehicle-launch/model.json" --output-interval 1e-5 --csv long.csv > /dev/null 2>&1 &
pid=$!
# Until the run is midway, its partial file 100 kB long, at most 30 s.
i=0
grown() { for f in .long.csv.partial-*; do [ -f "$f" ] && [ "$(wc -c < "$f")" -gt 100000 ] && return 0; done; return 1; }
while ! grown && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
grown || fail "the run wrote no partial file"
kill -TERM $pid
wait $pid
status=$?
[ $status = 143 ] || fail "SIGTERM gave exit status $status, not 143"
ls -A | grep -q partial && fail "partial files were left behind: $(ls -A)"
[ "$(cat long.csv)" = earlier ] || fail "the stopped run changed an earlier file"
echo "every output went where its path points"
