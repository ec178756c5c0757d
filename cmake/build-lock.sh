# One build of a build folder at a time (sourced, not run): scripts/test builds
# the benchmarks while its tests run, and the README's examples among those
# tests run scripts/demo and scripts/bench, which configure and build too.
#   qel_locked BUILD-FOLDER COMMAND [ARGS...]
# The lock is held only while COMMAND runs (nothing it leaves running, such as
# a wineserver, keeps it).
qel_locked() {
  local folder=$1
  shift
  mkdir -p "$folder"
  ( flock 9; "$@" ) 9>"$folder/.build-lock"
}
