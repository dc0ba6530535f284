# Sourced by the shell test scripts: check DESCRIPTION COMMAND... runs the
# command, prints ok or FAIL and counts both in passes and failures.
passes=0
failures=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "  ok    $what"
    passes=$((passes + 1))
  else
    echo "  FAIL  $what"
    failures=$((failures + 1))
  fi
}
