# shellcheck shell=bash
# What the scripts share; each sources it first. It moves to the top of the tree, where
# CMakePresets.json defines every build. Builds, test runs and clang-tidy use every core unless
# CMAKE_BUILD_PARALLEL_LEVEL or CTEST_PARALLEL_LEVEL say otherwise.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}

configure() {  # configure PRESET [cmake options...]: quiet unless it fails
  local out
  out=$(cmake --preset "$@" 2>&1) || { printf '%s\n' "$out"; return 1; }
}
build() {  # build PRESET: configures and builds it
  configure "$1"
  cmake --build --preset "$1"
}
quietly() {  # quietly LOG COMMAND...: the output goes to LOG, whose end is shown if it fails
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { tail -n 50 "$log"; echo "(whole log: $log)"; return 1; }
}
