#!/usr/bin/env bash
# The figures of -k (bench/resume.py says what they are): a 256 MiB get and
# put over the link emulator interrupted by SIGKILL at about 60 % and run
# again, and 200 interruptions at random moments on loopback; the machine's
# load before and after.
#
#   sudo bash bench/resume.sh [-b build directory, build] [-m MiB, 256] [-n interruptions, 200] [wan] [loop]
set -euo pipefail
cd "$(dirname "$0")/.."
uptime
rc=0
python3 bench/resume.py "$@" || rc=$?
uptime
exit $rc
