#!/usr/bin/env bash
# The one test command: installs dependencies, builds the release and asan
# presets and runs every test of both, then the browser tests against the
# release binaries, then (in CI) the fuzzers, the soak and the scale-out check.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
jobs=$(nproc)

for preset in release asan; do
  echo "== build $preset"
  cmake --preset "$preset" -DTAVREL_WERROR=$werror >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

# The client module's type check (a ctest) needs its TypeScript.
(cd web/client && npm ci --no-audit --no-fund)

for preset in release asan; do
  echo "== test $preset"
  ctest --preset "$preset" -j "$jobs" --timeout 600
done

echo "== browser tests (release)"
(cd tests/browser && npm ci --no-audit --no-fund)
(cd tests/browser && node --test)

# The one-minute fuzz runs, the two-minute soak, a one-minute soak with
# session resume, a two-minute one with a hand-over every minute and the
# scale-out check run
# in CI (CI=true) or when TAVREL_LONG_TESTS=1; TAVREL_LONG_TESTS=0 skips them.
long=${TAVREL_LONG_TESTS:-}
[ -z "$long" ] && [ "${CI:-}" = "true" ] && long=1
if [ "$long" = "1" ]; then
  echo "== fuzz"
  scripts/fuzz.sh --seconds 60
  echo "== soak"
  scripts/soak.sh --minutes 2
  echo "== soak with session resume"
  scripts/soak.sh --minutes 1 --resume
  echo "== soak with hand-overs"
  scripts/soak.sh --minutes 2 --resume --handover
  echo "== scale-out behind HAProxy"
  scripts/scaleout.sh --no-build --build-dir build/release
fi
