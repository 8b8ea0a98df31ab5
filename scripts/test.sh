#!/usr/bin/env bash
# Builds and runs the whole test suite: plain, ASan+UBSan, TSan.
# VEK_TEST_CONFIGS="plain asan tsan" selects configurations.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
configs=${VEK_TEST_CONFIGS:-"plain asan tsan"}
jobs=$(nproc)
status=0
for c in $configs; do
  case $c in
    plain) dir=build;      args=() ;;
    asan)  dir=build-asan; args=(-DVEK_SANITIZE=address) ;;
    tsan)  dir=build-tsan; args=(-DVEK_SANITIZE=thread) ;;
    *) echo "unknown config $c"; exit 2 ;;
  esac
  echo "=== $c: build ($dir)"
  ./scripts/build.sh "$dir" "${args[@]}"
  echo "=== $c: test"
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
  if ! (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300); then
    echo "=== $c: FAILED"; status=1
  fi
done
# A one-minute soak on the plain build (VEK_SOAK_MINUTES: another length, 0: none).
if [[ " $configs " == *" plain "* && ${VEK_SOAK_MINUTES:-1} != 0 ]]; then
  echo "=== soak"
  VEK_BUILD=build ./scripts/soak.sh "${VEK_SOAK_MINUTES:-1}" || status=1
fi
exit $status
