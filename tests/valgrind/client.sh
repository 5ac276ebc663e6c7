#!/bin/sh
# Stands in for the client in the end-to-end tests (as KOA_CLIENT) and runs
# the real one, KOA_REAL_CLIENT, under valgrind's memcheck. Any memory error
# or leak of any kind makes the exit status 99, which fails the test; the
# report of each run goes to its own file in KOA_VALGRIND_LOGS.
exec valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
  --errors-for-leak-kinds=all --track-fds=yes \
  --log-file="$KOA_VALGRIND_LOGS/client.%p.log" "$KOA_REAL_CLIENT" "$@"
