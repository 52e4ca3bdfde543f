#!/bin/sh
# The per-PC lock of a fleet run: fleet.lock in the state folder, held with
# flock by a holder process in the background from take to release (or until
# the holder is stopped, or the PC restarts). fleet.owner names the run that
# holds it, in one line:
#   <run id> <controller> <machine id> <boot id> <controller process> <holder process>
# Usage: sh -c "$(cat zeda_fleet_lock.sh)" zeda-fleet-lock <action> <state folder> <run id> [<owner> [<stale holder>]]
#   probe: status 0 when the lock is free, 75 when another run holds it (its
#     owner line on standard output).
#   take: takes the lock for the run <run id>, described by <owner> (the first
#     five fields above); with <stale holder>, first stops that holder of a
#     run that provably ended. Status 0, or 75 with the owner line as for probe.
#   release: ends this run's holder and waits for it.
# Any other status: failed, with the reason on standard error.
action=$1 dir=$2 run=$3 owner=$4 stale=$5
lock=$dir/fleet.lock record=$dir/fleet.owner release=$dir/fleet.release.$run
case $action in
probe)
  # Shared, and waiting a moment, so that probes of runs in their pre-flight
  # at the same time, or a take, do not pass for a run that holds the PC.
  flock -s -w 2 -E 75 "$lock" true
  rc=$?
  [ $rc = 75 ] && cat "$record" 2>/dev/null
  exit $rc ;;
release)
  touch "$release" || exit 1
  n=0
  while [ "$(cut -d' ' -f1 "$record" 2>/dev/null)" = "$run" ]; do
    [ $n -lt 100 ] || { echo "the lock holder of this run did not end" >&2; exit 1; }
    sleep 0.1
    n=$((n + 1))
  done
  exit 0 ;;
take)
  # A moment's wait lets another run's probe end.
  wait=-w2
  if [ -n "$stale" ]; then
    kill "$stale" 2>/dev/null
    wait=-w5
  fi
  rm -f "$release"
  # The owner line is written here, where a full or read-only disk is said;
  # the holder only adds its process id and renames it into place.
  printf '%s' "$owner" > "$record.$run" || exit 1
  # shellcheck disable=SC2016 # the holder's own script, expanded by its shell
  setsid flock "$wait" -E 75 "$lock" sh -c '
    printf " %s\n" "$$" >> "$2.$1" && mv "$2.$1" "$2" || exit 1
    while [ ! -e "$3" ]; do sleep 1; done
    rm -f "$2" "$3"' holder "$run" "$record" "$release" </dev/null >/dev/null 2>&1 &
  holder=$!
  while kill -0 $holder 2>/dev/null; do
    [ "$(cut -d' ' -f1 "$record" 2>/dev/null)" = "$run" ] && exit 0
    sleep 0.1
  done
  wait $holder
  rc=$?
  rm -f "$record.$run"
  if [ $rc = 75 ]; then
    cat "$record" 2>/dev/null
    exit 75
  fi
  echo "the lock holder could not take $lock or record its owner in $record (status $rc)" >&2
  exit 1 ;;
esac
echo "zeda-fleet-lock: unknown action '$action'" >&2
exit 2
