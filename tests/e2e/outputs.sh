#!/usr/bin/env bash
# strataeq-cli's outputs where writing goes wrong or is not a plain file, as a user meets
# them: a small tmpfs that fills up and a file-size limit (ulimit -f), each with an
# existing output of the same name (WAV, MP3, a batch, record); a device node, a FIFO
# with a reader, "-" and a symbolic link as the output; a batch whose output folder
# holds one of its inputs; .sqp and .txt output names; SIGHUP and kill -9 during a run.
# Each check prints "ok" or "FAIL"; the script fails when any check does. Needs root
# (mount, mknod); skips with status 77 otherwise.
# Usage: tests/e2e/outputs.sh BUILD-FOLDER
set -uo pipefail
build=$(cd "${1:?usage: tests/e2e/outputs.sh BUILD-FOLDER}" && pwd)
cli=$build/bin/strataeq-cli
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: needs root to mount a small tmpfs and make a device node"
  exit 77
fi
command -v sox >/dev/null || { echo "SKIP: needs sox to make the inputs"; exit 77; }

work=$(mktemp -d)
full=$work/full
mkdir -p "$full" "$work/logs"
cleanup() {
  umount "$full" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mount -t tmpfs -o size=1m tmpfs "$full" || { echo "SKIP: cannot mount a tmpfs here"; exit 77; }
cd "$work"

failures=0
check() {  # description, then a test command
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
# Names, sizes and checksums of a folder's entries: what "as it was" compares.
state() { (cd "$1" && find . -mindepth 1 -printf '%p %y %s\n' | sort && find . -type f -exec md5sum {} + | sort); }
# A WAV file whose header holds its real sizes: RIFF = file - 8, data within the file.
finished_wav() {
  local size riff
  size=$(stat -c %s "$1")
  riff=$(od -An -tu4 -j4 -N4 "$1" | tr -d ' ')
  [ "$riff" -eq $((size - 8)) ] && "$cli" info "$1" >/dev/null 2>&1
}
err=$work/logs/err
has() { grep -q -- "$2" "$1"; }
# The last command's status (given) is want, and its stderr says text.
exits_saying() { [ "$1" -eq "$2" ] && grep -q -- "$3" "$err"; }
# Waits until pid (or one of its jobs) writes an output into folder.
writing_into() {  # pid, folder
  local p
  for _ in $(seq 1 500); do
    for p in "$1" $(cat "/proc/$1/task/$1/children" 2>/dev/null); do
      ls -l "/proc/$p/fd" 2>/dev/null | grep -q -- "-> $2/.*(deleted)" && return 0
    done
    sleep 0.01
  done
  return 1
}

sox -q -n -r 44100 -c 2 -b 16 in.wav synth 30 sine 440 sine 3000 vol 0.3
sox -q -n -r 44100 -c 2 -b 16 in2.wav synth 30 sine 500 vol 0.3
sox -q -n -r 44100 -c 2 -b 16 long.wav synth 200 sine 440 vol 0.3
sox -q -n -r 44100 -c 2 -b 16 old.wav synth 1 sine 200 vol 0.3
"$cli" process in.wav ref.wav -q

# --- a full disk: about 200 kB free, less than any of the outputs ---
cp old.wav "$full/out.wav"
echo "an old song" >"$full/out.mp3"
cp old.wav "$full/in.wav"
echo "an old song" >"$full/in2.mp3"
head -c $((640 * 1024)) /dev/zero >"$full/filler"
before=$(state "$full")
"$cli" process in.wav "$full/out.wav" -q 2>"$err"
check "full disk, WAV: exit 1" [ $? -eq 1 ]
check "full disk, WAV: names the file and the reason" has "$err" "Unable to write $full/out.wav: the disk is full"
"$cli" process in.wav "$full/out.mp3" -q 2>"$err"
check "full disk, MP3: exit 1" [ $? -eq 1 ]
check "full disk, MP3: names the file and the reason" has "$err" "Unable to write $full/out.mp3: the disk is full"
"$cli" process in.wav in2.wav --out-dir "$full" -q 2>"$err"
check "full disk, WAV batch: exit 1" [ $? -eq 1 ]
check "full disk, WAV batch: counts no file as written" has "$err" "0 of 2 files written"
"$cli" process in.wav in2.wav --out-dir "$full" --to mp3 -q 2>"$err"
check "full disk, MP3 batch: exit 1" [ $? -eq 1 ]
check "full disk, MP3 batch: counts no file as written" has "$err" "0 of 2 files written"
check "full disk: every old file byte for byte, nothing left beside them" [ "$(state "$full")" = "$before" ]

# --- record onto a full disk: stops with a message, keeps a finished WAV ---
STRATAEQ_AUDIO=virtual STRATAEQ_VIRTUAL_TONE=440 timeout 60 "$cli" record "$full/out.wav" --seconds 5 2>"$err"
check "full disk, record: exit 1" [ $? -eq 1 ]
check "full disk, record: says why" has "$err" "recording stopped: Unable to write $full/out.wav: the disk is full"
check "full disk, record: a WAV with its header finished" finished_wav "$full/out.wav"
check "full disk, record: holds part of the 5 s" [ "$(stat -c %s "$full/out.wav")" -lt $((5 * 176400)) ]
rm -f "$full/filler" "$full/out.wav"

# --- a file-size limit of 150 kB ---
mkdir lim
cp old.wav lim/out.wav
echo "an old song" >lim/out.mp3
cp old.wav lim/in.wav
before=$(state lim)
(ulimit -f 150; "$cli" process in.wav lim/out.wav -q) 2>"$err"
rc=$?; check "file-size limit, WAV: exit 1 with the reason" exits_saying $rc 1 "lim/out.wav: File too large"
(ulimit -f 150; "$cli" process in.wav lim/out.mp3 -q) 2>"$err"
rc=$?; check "file-size limit, MP3: exit 1 with the reason" exits_saying $rc 1 "lim/out.mp3: File too large"
(ulimit -f 150; "$cli" process in.wav in2.wav --out-dir lim -q) 2>"$err"
rc=$?; check "file-size limit, batch: exit 1, nothing counted" exits_saying $rc 1 "0 of 2 files written"
check "file-size limit: every old file byte for byte, nothing left beside them" [ "$(state lim)" = "$before" ]

# --- outputs that are not regular files ---
mknod devnull c 1 3
"$cli" process in.wav devnull --to wav -q
check "device node: written" [ $? -eq 0 ]
check "device node: still a device" [ -c devnull ]
mkfifo fifo
timeout 60 cat fifo >from-fifo.wav &
reader=$!
timeout 60 "$cli" process in.wav fifo --to wav -q
check "FIFO: written" [ $? -eq 0 ]
wait $reader
check "FIFO: still a FIFO" [ -p fifo ]
check "FIFO: the reader got the whole WAV, sizes in the header" cmp -s from-fifo.wav ref.wav
"$cli" process in.wav - --to wav -q >from-stdout.wav
check "-: the whole WAV on standard output" cmp -s from-stdout.wav ref.wav
"$cli" process in.wav - --to mp3 -q >from-stdout.mp3
check "-: MP3 on standard output" "$cli" info from-stdout.mp3 >/dev/null
STRATAEQ_AUDIO=virtual STRATAEQ_VIRTUAL_TONE=440 timeout 60 "$cli" record - --to wav --seconds 1 --latency 40 \
  >rec-stdout.wav 2>"$err"
stream_then_plan() { [ "$(head -c 4 rec-stdout.wav)" = RIFF ] && has "$err" "Latency : target 40 ms"; }
check "-: record's stream holds only the WAV, its plan goes to stderr" stream_then_plan
mkfifo fifo2
timeout 60 head -c 1000 fifo2 >/dev/null &
reader=$!
timeout 60 "$cli" process long.wav fifo2 --to wav -q 2>/dev/null
check "FIFO whose reader leaves: SIGPIPE ends the run with 141" [ $? -eq 141 ]
wait $reader
cp old.wav target.wav
ln -s target.wav link.wav
"$cli" process in.wav link.wav -q
check "link: written" [ $? -eq 0 ]
check "link: still a link to its file" [ "$(readlink link.wav)" = target.wav ]
check "link: its file holds the output" cmp -s target.wav ref.wav

# --- output names ---
mkdir names
cd names
echo "a preset" >warm.sqp
before=$(state .)
"$cli" process ../in.wav warm.sqp -q 2>"$err"
rc=$?; check ".sqp output: refused" exits_saying $rc 1 "warm.sqp is not a .wav or .mp3 file"
"$cli" process ../in.wav notes.txt -q 2>"$err"
rc=$?; check ".txt output: refused" exits_saying $rc 1 "notes.txt is not a .wav or .mp3 file"
"$cli" process ../in.wav noext -q 2>"$err"
rc=$?; check "name without extension: refused without --to" exits_saying $rc 1 "give --to wav or --to mp3"
check "refused names: nothing written" [ "$(state .)" = "$before" ]
cd "$work"

# --- a batch never writes over its inputs ---
mkdir b
cd b
mkdir a o
cp ../in.wav a/x.wav
cp ../in2.wav o/x.wav
cp ../in.wav a/h.wav
ln a/h.wav o/h.wav
cp ../in2.wav a/s.wav
ln -s ../a/s.wav o/s.wav
before=$(state .)
"$cli" process a/x.wav o/x.wav --out-dir o -q 2>"$err"
rc=$?; check "batch onto its own input: exit 1" exits_saying $rc 1 "its output o/x.wav is the input"
"$cli" process a/h.wav a/s.wav --out-dir o -q 2>"$err"
rc=$?; check "batch onto a hard link and a symbolic link of its inputs: refused" exits_saying $rc 1 "0 of 2 files written"
check "batch onto its inputs: every file as it was" [ "$(state .)" = "$before" ]
cd "$work"

# --- signals and kill -9 during a run ---
mkdir sig
echo "an old song" >sig/out.mp3
before=$(state sig)
"$cli" process long.wav sig/out.mp3 --bitrate 320 -q 2>"$err" &
pid=$!
writing_into $pid "$work/sig"
kill -HUP $pid
wait $pid
check "SIGHUP: exit 129" [ $? -eq 129 ]
check "SIGHUP: the output folder as it was" [ "$(state sig)" = "$before" ]
"$cli" process long.wav sig/out.mp3 --bitrate 320 -q 2>/dev/null &
pid=$!
writing_into $pid "$work/sig"
kill -9 $pid
wait $pid 2>/dev/null
check "kill -9: the output folder as it was" [ "$(state sig)" = "$before" ]
cp long.wav long2.wav
"$cli" process long.wav long2.wav --out-dir sig --to mp3 --bitrate 320 -j 2 -q 2>/dev/null &
pid=$!
writing_into $pid "$work/sig"
kill -9 $pid
wait $pid 2>/dev/null
sleep 1  # the jobs end with their parent
check "kill -9 of a batch: the output folder as it was" [ "$(state sig)" = "$before" ]

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all output checks passed"
