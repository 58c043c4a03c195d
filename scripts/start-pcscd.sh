#!/usr/bin/env bash
# Starts the PC/SC daemon with vpcd's virtual readers for the reader tests
# (vtoken_pcsc_tests), unless it already runs.  Works without systemd: pcscd
# runs in the foreground of a background job, logging to $PCSCD_LOG.
#   scripts/start-pcscd.sh        start (or confirm that it runs)
#   scripts/start-pcscd.sh stop   stop the daemon that the pid file names
set -euo pipefail

RUN_DIR=/run/pcscd
PID_FILE=$RUN_DIR/pcscd.pid
SOCKET=$RUN_DIR/pcscd.comm
LOG=${PCSCD_LOG:-/tmp/pcscd.log}

# pcscd ends its pid file with a NUL byte.
daemon_pid() { tr -dc '0-9' <"$PID_FILE" 2>/dev/null || true; }

running() {
  [ -S "$SOCKET" ] && [ -f "$PID_FILE" ] && [ -n "$(daemon_pid)" ] && kill -0 "$(daemon_pid)" 2>/dev/null
}

if [ "${1:-start}" = stop ]; then
  if running; then
    pid=$(daemon_pid)
    kill "$pid"
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    echo "pcscd stopped"
  else
    echo "pcscd is not running"
  fi
  exit 0
fi

command -v pcscd >/dev/null || { echo "pcscd is not installed (scripts/install-deps.sh)" >&2; exit 1; }
[ -f /etc/reader.conf.d/vpcd ] || { echo "vsmartcard-vpcd is not installed (scripts/install-deps.sh)" >&2; exit 1; }

if running; then
  echo "pcscd already running (pid $(daemon_pid))"
  exit 0
fi

mkdir -p "$RUN_DIR"
# Info level, so that the log says when the readers are loaded and the daemon is ready.
setsid nohup pcscd --foreground --info >"$LOG" 2>&1 </dev/null &
for _ in $(seq 100); do
  if running && grep -q "daemon ready" "$LOG"; then
    echo "pcscd running (pid $(daemon_pid)), readers: $(grep -c 'Attempting startup of' "$LOG"), log $LOG"
    exit 0
  fi
  sleep 0.1
done
echo "pcscd did not come up within 10 s; log $LOG:" >&2
tail -20 "$LOG" >&2
exit 1
