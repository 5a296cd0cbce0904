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
    base/*) echo 1 ;;
    input/*) echo 2 ;;
    elements/*) echo 3 ;;
    model/*) echo 4 ;;
    session/*) echo 5 ;;
    network/*) echo 6 ;;
    integrators/*) echo 7 ;;
    analysis/*) echo 8 ;;
    output/*) echo 9 ;;
    */*) echo 0 ;;
    *) echo 10 ;;
  esac
}

bad=0
files=$(cd "$sim" && find . -name '*.h' -o -name '*.cpp' | sed 's#^\./##' | sort)
for f in $files; do
  own=$(rank "$f")
  if [ "$own" = 0 ]; then
    echo "$f: in no stage (base, input, elements, model, session, network, integrators, analysis, output)"
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
