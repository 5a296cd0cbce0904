#!/bin/sh
# The host simulator's stages, in the order its data flows; a file of
# hostsim/sim includes only from its own stage and the stages before it, so
# the folders have no cycle. Prints every include that breaks the order.
#   check-sim-layers.sh SOURCE_DIR
set -eu
sim="$1/hostsim/sim"
[ -d "$sim" ] || { echo "no folder $sim" >&2; exit 2; }

# The stage of a path below hostsim/sim/, as a rank; files directly in sim/
# are the top (the run that ties the stages together).
rank() {
  case "$1" in
    input/*) echo 1 ;;
    network/elements/*) echo 2 ;;
    model/*) echo 3 ;;
    network/*) echo 4 ;;
    integrators/*) echo 5 ;;
    analysis/*) echo 6 ;;
    output/*) echo 7 ;;
    */*) echo 0 ;;
    *) echo 8 ;;
  esac
}

bad=0
files=$(cd "$sim" && find . -name '*.h' -o -name '*.cpp' | sed 's#^\./##' | sort)
for f in $files; do
  own=$(rank "$f")
  if [ "$own" = 0 ]; then
    echo "$f: in no stage (input, network/elements, model, network, integrators, analysis, output)"
    bad=1
    continue
  fi
  for inc in $(sed -n 's#^[[:space:]]*\#include "hostsim/sim/\([^"]*\)".*#\1#p' "$sim/$f"); do
    theirs=$(rank "$inc")
    if [ "$theirs" -gt "$own" ] || [ "$theirs" = 0 ]; then
      echo "$f includes $inc, a later stage"
      bad=1
    fi
  done
done
[ "$bad" = 0 ] && echo "every include of hostsim/sim follows the stages"
exit "$bad"
