#!/bin/sh
# The release bundle as a user gets it: packs a fresh bundle from the build
# tree into a private folder, unpacks it into an empty folder, checks what it
# holds and runs the host tool from there against the bundled library and the
# default example.
#
# check-bundle.sh CONFIG GENERATOR PACKAGE VERSION HOST RUNNER PYTHON BINARY...
#   CONFIG     the build tree's CPackConfig.cmake
#   GENERATOR  ZIP or TGZ
#   PACKAGE    the file name the bundle must have
#   VERSION    the project version the tool must report
#   HOST       file name of the host tool, or "" when it is not built
#   RUNNER     program that runs HOST (the Wine wrapper), or "" to run it directly
#   PYTHON     the interpreter that tries the bundle's Python package, or ""
#              when the bundle has none
#   BINARY...  the component library first, then the other binaries expected
#              at the top of the bundle
set -eu
config=$1 generator=$2 package=$3 version=$4 host=$5 runner=$6 python=$7
shift 7
library=$1

fail() { echo "release bundle: $*" >&2; exit 1; }
run() { if [ -n "$runner" ]; then "$runner" "$@"; else "$@"; fi; }

work=$(mktemp -d "${TMPDIR:-/tmp}/dvx-bundle.XXXXXX")
trap 'rm -rf "$work"' EXIT

if ! cpack -G "$generator" --config "$config" -B "$work/pack" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack failed"
fi
[ -f "$work/pack/$package" ] || fail "cpack did not produce $package: $(ls "$work/pack")"

mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$work/pack/$package") || fail "cannot unpack $package"
top=${package%.zip}
top=${top%.tar.gz}
[ "$(ls -A "$work/unpacked")" = "$top" ] || fail "$package must hold the one folder $top, holds: $(ls -A "$work/unpacked")"
dir=$work/unpacked/$top

# Exactly the expected entries at the top: nothing missing, nothing stray.
expected=$(for f in "$@" CHANGELOG.md docs examples ${python:+python}; do echo "$f"; done | sort)
actual=$(ls -A "$dir" | sort)
[ "$expected" = "$actual" ] || fail "top of the bundle holds
$actual
instead of
$expected"
for doc in guide.md host-interface.md; do
  [ -s "$dir/docs/$doc" ] || fail "docs/$doc missing"
done
grep -q "^## $version " "$dir/CHANGELOG.md" || fail "CHANGELOG.md has no entry for $version"
# Every link between the documents leads to a file of the bundle.
for doc in "$dir"/docs/*.md; do
  for target in $(grep -o '](\([^)]*\))' "$doc" | sed 's/^](//; s/)$//; s/#.*//'); do
    case $target in http*|'') continue ;; esac
    [ -f "$(dirname "$doc")/$target" ] || fail "docs/$(basename "$doc") links to $target, which the bundle lacks"
  done
done

if [ -z "$host" ]; then
  echo "release bundle: $package holds $(echo $actual); the host tool is not built, nothing run"
  exit 0
fi
[ -n "$(ls "$dir/examples")" ] || fail "examples/ is empty"

# On Linux the binaries must find each other beside themselves, not in the
# build tree.
if [ -z "$runner" ]; then
  checked=0
  for binary in "$@"; do
    resolved=$(ldd "$dir/$binary") || fail "ldd cannot read $binary"
    for f in "$@"; do
      if echo "$resolved" | grep -q "^[[:space:]]*$f "; then
        echo "$resolved" | grep -q "$f => $dir/$f " || fail "$binary does not load $f from its own folder:
$resolved"
        checked=$((checked + 1))
      fi
    done
  done
  [ "$checked" -gt 0 ] || fail "no bundled binary links another one: the check of their paths saw nothing"
fi

# From an unrelated working folder, so that nothing is found by accident.
mkdir "$work/run"
cd "$work/run"
out=$(run "$dir/$host" --version 2>&1) || {
  status=$?
  # The Wine wrapper's "skipped": the bundle's contents are checked, its
  # tool cannot run on this machine.
  if [ "$status" -eq 77 ]; then echo "$out" >&2; exit 77; fi
  fail "$host --version failed: $out"
}
echo "$out" | grep -qF "$version" || fail "$host --version printed '$out', not $version"
if ! run "$dir/$host" run --csv result.csv >run.log 2>&1; then
  cat run.log >&2
  fail "$host run (the default example) failed"
fi
[ -s result.csv ] || fail "the default example wrote no CSV"
head -n 1 result.csv | grep -q "^time" || fail "result.csv starts with '$(head -n 1 result.csv)'"
[ "$(wc -l <result.csv)" -gt 2 ] || fail "result.csv holds no samples"
# The tool names what it loaded: the bundle's own library and example.
grep -q "^library .*$top.$library" run.log || fail "$host did not load the bundled $library:
$(cat run.log)"
grep -q "^model .*$top.examples" run.log || fail "$host did not run a bundled example:
$(cat run.log)"

# The commands of the guide, as a user types them in the bundle folder.
cd "$dir"
dolvanex_host() { run "$dir/$host" "$@"; }
commands=$(sed -n '/<!-- test: commands -->/,/^```$/p' docs/guide.md | sed -n '/^dolvanex-host /p')
[ -n "$commands" ] || fail "docs/guide.md shows no commands"
count=0
while IFS= read -r line; do
  if ! eval "dolvanex_host ${line#dolvanex-host }" >"$work/command.log" 2>&1 </dev/null; then
    cat "$work/command.log" >&2
    fail "the guide's command '$line' failed"
  fi
  count=$((count + 1))
done <<EOF_COMMANDS
$commands
EOF_COMMANDS
# The Python package, installed as the bundle's readme says, without a
# network and into a user base of its own, finds the bundle's tool beside
# itself: no $DOLVANEX_HOST, and no tool on the PATH.
pythonnote=""
if [ -n "$python" ]; then
  [ -f "$dir/python/dolvanex/__init__.py" ] && [ -f "$dir/python/install.py" ] || fail "python/ lacks the package or install.py"
  [ -z "$(find "$dir/python" -name '__pycache__' -o -name '*.pyc')" ] || fail "python/ holds compiled files"
  userbase=$work/userbase
  PYTHONUSERBASE=$userbase "$python" "$dir/python/install.py" >"$work/python.log" 2>&1 ||
    fail "python/install.py failed: $(cat "$work/python.log")"
  cd "$work/run"
  if ! env -u DOLVANEX_HOST -u PYTHONPATH PATH=/usr/bin:/bin PYTHONUSERBASE="$userbase" PYTHONDONTWRITEBYTECODE=1 \
      "$python" -c '
import sys, dolvanex
tool = dolvanex.find_tool()
assert str(tool) == sys.argv[1], f"the package found {tool}, not {sys.argv[1]}"
assert dolvanex.__version__ == sys.argv[2], f"the package is {dolvanex.__version__}, the bundle {sys.argv[2]}"
result = dolvanex.run(sys.argv[3], stop=1)
assert len(result.data) == 21 and result.summary["exit_status"] == 0
print(len(result.data))
' "$dir/$host" "$version" "$dir/examples/motor-gear/model.json" >"$work/python.log" 2>&1; then
    cat "$work/python.log" >&2
    fail "the bundle's Python package does not run the bundle's tool"
  fi
  (cd "$dir" && env -u DOLVANEX_HOST -u PYTHONPATH PYTHONUSERBASE="$userbase" PYTHONDONTWRITEBYTECODE=1 \
      "$python" -m dolvanex sweep --help >"$work/python.log" 2>&1) ||
    fail "python3 -m dolvanex sweep --help failed in the bundle folder: $(cat "$work/python.log")"
  [ -z "$(find "$dir/python" -name '__pycache__')" ] || fail "importing the package wrote into the bundle"
  pythonnote="; python/install.py made the package importable and dolvanex.run() ran the bundled tool"
fi
echo "release bundle: $package unpacked; $host --version: $(echo "$out" | head -n 1); default example: $(($(wc -l <"$work/run/result.csv") - 1)) samples; $count commands of the guide ran$pythonnote"
