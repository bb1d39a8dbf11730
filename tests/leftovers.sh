#!/usr/bin/env bash
# Runs before and after the whole suite. "before" notes the state of the machine's own
# /dev/shm/OS; "after" fails if that changed or if any of the given programs still runs.
# Usage: leftovers.sh before|after STATE_FILE PROGRAM_PATH...
set -u
mode=$1 state=$2
shift 2
# Where the shared-memory tests use the machine's own /dev/shm they hold an exclusive lock
# on the folder; the state is read under a shared one, never in the middle of such a test
# from another run of the suite.
shm_state() {
  {
    command -v flock >/dev/null && flock -s -w 60 9
    stat -c '%i %s %y %z' /dev/shm/OS 2>/dev/null || echo absent
  } 9</dev/shm
}

if [ "$mode" = before ]; then
  shm_state >"$state"
  exit 0
fi
status=0
if [ "$(shm_state)" != "$(cat "$state")" ]; then
  echo "the tests touched the machine's /dev/shm/OS: $(cat "$state") -> $(shm_state)"
  status=1
fi
for exe in /proc/[0-9]*/exe; do
  running=$(readlink "$exe" 2>/dev/null) || continue
  for path in "$@"; do
    if [ "$running" = "$path" ]; then
      echo "still running after the tests: $path (pid $(basename "$(dirname "$exe")"))"
      status=1
    fi
  done
done
exit $status
