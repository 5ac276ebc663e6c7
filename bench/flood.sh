#!/usr/bin/env bash
# One user floods the requests' socket over their cap for a minute (two
# processes connecting and hanging up as fast as they can) while another
# user asks every half second: prints how many connections were refused,
# how long the other user waited to be listed (median and most) and how much
# the record grew. Needs root (the test acts as the accounts sys, daemon and
# bin).
#
# Usage: bench/flood.sh [BUILD_DIR] [SECONDS]   (default build/release, 60)
set -euo pipefail
build=${1:-build/release}
seconds=${2:-60}
KOA_FLOOD_SECONDS=$seconds exec "$build/tests/approvald/approvald_test" \
  --gtest_also_run_disabled_tests --gtest_filter='ApprovaldFlood.*'
