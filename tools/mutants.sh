#!/usr/bin/env bash
# The mutation check: breaks the code one line at a time, as listed in
# tools/mutants.txt, and shows that a test fails for each break.
#
#   tools/mutants.sh [WORD]     every mutant (whose name contains WORD)
#
# The work tree is never touched. Its files are copied once into a scratch
# tree (build/mutants/tree, or $AZK_MUTANTS_DIR/tree), which is configured
# with the "default" preset and the options tools/test.sh gives it (so that
# ccache serves what the work tree's build compiled already; a mutation
# must therefore build without warnings) and built for the listed targets
# only. Then, per mutant: the line is changed in the scratch copy,
# only the mutant's targets are rebuilt, its test commands run, and the file
# is restored. Results:
#   killed    a test command failed (or ran past its time limit)
#   SURVIVED  every test command passed: no test notices the fault
#   STALE     the line is no longer in the file (or is there more than once)
#   BROKEN    the mutant does not build, or a test command fails unmutated
#   skipped   the mutant needs the Windows build under wine, which runs
#             only with AZK_MUTANTS_WINE=1
# The exit status is 1 when any mutant survived, is stale or broken.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
list=${AZK_MUTANTS_LIST:-tools/mutants.txt}
filter=${1:-}
work=${AZK_MUTANTS_DIR:-$root/build/mutants}
tree=$work/tree
limit=${AZK_MUTANTS_TEST_SECONDS:-300}
jobs=$(nproc)

if command -v ccache >/dev/null; then
  # The scratch tree sits under the same base as the work tree and is laid
  # out alike, so its compilations hit the work tree's cache.
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=1
fi

# ------------------------------------------------------------ the list
# Records separated by blank lines; '#' starts a comment line. Keys:
#   mutant:  a name
#   file:    path in the repository
#   line:    text found in exactly one line of the file
#   after:   optional: the text of a line before it; then `line` is the
#            first line holding that text after the first line holding this
#   with:    what replaces that text
#   build:   targets to rebuild (space separated)
#   run:     a test command, relative to the build folder (repeatable)
#   preset:  default (the default) or mingw (run under wine)
names=() files=() lines=() afters=() withs=() builds=() runs=() presets=()
add_record() {
  [ -n "${r_mutant:-}" ] || return 0
  names+=("$r_mutant") files+=("$r_file") lines+=("$r_line") afters+=("$r_after") withs+=("$r_with")
  builds+=("$r_build") runs+=("$r_run") presets+=("${r_preset:-default}")
}
clear_record() { r_mutant='' r_file='' r_line='' r_after='' r_with='' r_build='' r_run='' r_preset=''; }
clear_record
while IFS= read -r text || [ -n "$text" ]; do
  case "$text" in
    '#'*) continue ;;
    '') add_record; clear_record; continue ;;
  esac
  key=${text%%:*}
  value=${text#*:}
  value=${value# }
  case "$key" in
    mutant) r_mutant=$value ;;
    file) r_file=$value ;;
    line) r_line=$value ;;
    after) r_after=$value ;;
    with) r_with=$value ;;
    build) r_build=$value ;;
    run) r_run+="$value"$'\n' ;;
    preset) r_preset=$value ;;
    *) echo "$list: unknown key '$key'" >&2; exit 2 ;;
  esac
done < "$list"
add_record

selected=()
for i in "${!names[@]}"; do
  [[ -z "$filter" || "${names[$i]}" == *"$filter"* ]] || continue
  if [ "${presets[$i]}" = mingw ] && [ "${AZK_MUTANTS_WINE:-0}" != 1 ]; then
    printf '%-9s %s\n' skipped "${names[$i]} (Windows build under wine: AZK_MUTANTS_WINE=1)"
    continue
  fi
  selected+=("$i")
done
[ ${#selected[@]} -gt 0 ] || { echo "no mutant selected"; exit 0; }

# ------------------------------------------------------------ the scratch tree
# Files whose content differs are copied with a new time stamp, so that the
# scratch build never keeps an object made from a mutant.
mkdir -p "$tree"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
  [ -f "$f" ] || continue
  if ! cmp -s "$f" "$tree/$f"; then
    mkdir -p "$tree/$(dirname "$f")"
    cat "$f" > "$tree/$f"
    [ -x "$f" ] && chmod +x "$tree/$f"
  fi
done

wine_env() {
  local build=$1
  WINEPREFIX=$(sed -n 's/^AZK_WINEPREFIX:PATH=//p' "$build/CMakeCache.txt")
  [ -n "$WINEPREFIX" ] || WINEPREFIX="$build/wineprefix"
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    setarch -R wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
  fi
  wineserver -p </dev/null >/dev/null 2>&1
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
}

declare -A configured=()
prepare() {
  local preset=$1 targets=$2
  if [ -z "${configured[$preset]:-}" ]; then
    (cd "$tree" && cmake --preset "$preset" -DAZK_WARNINGS_AS_ERRORS=ON >/dev/null)
    [ "$preset" = mingw ] && wine_env "$tree/build/mingw"
    configured[$preset]=1
  fi
  # shellcheck disable=SC2086
  (cd "$tree" && cmake --build --preset "$preset" -j"$jobs" --target $targets) > "$work/build.log" 2>&1
}

# Runs one mutant's (or the unmutated tree's) test commands; 0 when all pass.
run_tests() {
  local preset=$1 commands=$2 prefix
  while IFS= read -r command; do
    [ -n "$command" ] || continue
    # A Windows program runs under wine; anything else (a script) as it is.
    prefix=''
    # Wine without address-space randomisation (see tools/test-windows.sh).
    [ "$preset" = mingw ] && [[ ${command%% *} == *.exe ]] && prefix='setarch -R wine'
    # The shell's own note of a crashed test goes with the test's output.
    # shellcheck disable=SC2086
    { (cd "$tree/build/$preset" && timeout "$limit" $prefix $command) > "$work/test.log" 2>&1; } 2>> "$work/test.log" ||
      return 1
  done <<< "$commands"
  return 0
}

# ------------------------------------------------------------ baseline
# Every test command must pass before anything is broken, or a failure
# would prove nothing.
declare -A all_targets=() baseline=()
for i in "${selected[@]}"; do
  for target in ${builds[$i]}; do
    [[ " ${all_targets[${presets[$i]}]:-} " == *" $target "* ]] || all_targets[${presets[$i]}]+=" $target"
  done
done
broken=0
for preset in "${!all_targets[@]}"; do
  echo "=== building the scratch tree ($preset):${all_targets[$preset]}"
  if ! prepare "$preset" "${all_targets[$preset]}"; then
    tail -30 "$work/build.log"; echo "the unmutated scratch tree does not build"; exit 1
  fi
done
for i in "${selected[@]}"; do
  key="${presets[$i]}|${runs[$i]}"
  [ -z "${baseline[$key]:-}" ] || continue
  if run_tests "${presets[$i]}" "${runs[$i]}"; then baseline[$key]=ok; else
    baseline[$key]=failed
    tail -30 "$work/test.log"
    echo "BROKEN: fails unmutated: ${runs[$i]}"
    broken=$((broken + 1))
  fi
done

# ------------------------------------------------------------ mutants
killed=0 survived=0 stale=0
for i in "${selected[@]}"; do
  name=${names[$i]} file=$tree/${files[$i]} preset=${presets[$i]}
  [ "${baseline["$preset|${runs[$i]}"]}" = ok ] || { printf '%-9s %s\n' BROKEN "$name"; continue; }
  # The lines to change: every line holding the text (after the anchor,
  # only the first such line). Counted in the work tree, where a file that
  # has moved is gone (the scratch tree may still hold its old copy).
  matches=0
  [ -f "$root/${files[$i]}" ] && matches=$(F="${lines[$i]}" A="${afters[$i]}" awk '
      BEGIN { open = ENVIRON["A"] == "" }
      !open && index($0, ENVIRON["A"]) { open = 1; next }
      open && index($0, ENVIRON["F"]) { n++; if (ENVIRON["A"] != "") exit }
      END { print n + 0 }' "$root/${files[$i]}")
  if [ "$matches" != 1 ]; then
    printf '%-9s %s (%s: the line is found %s times)\n' STALE "$name" "${files[$i]}" "$matches"
    stale=$((stale + 1))
    continue
  fi
  cp "$file" "$work/original"
  F="${lines[$i]}" A="${afters[$i]}" W="${withs[$i]}" awk '
      BEGIN { open = ENVIRON["A"] == "" }
      !open && index($0, ENVIRON["A"]) { open = 1; print; next }
      open && !done && (at = index($0, ENVIRON["F"])) {
        $0 = substr($0, 1, at - 1) ENVIRON["W"] substr($0, at + length(ENVIRON["F"]))
        done = 1
      }
      { print }' "$work/original" > "$file"
  if cmp -s "$file" "$work/original"; then
    printf '%-9s %s (the replacement changes nothing)\n' BROKEN "$name"
    broken=$((broken + 1))
    continue
  fi
  start=$(date +%s)
  if ! prepare "$preset" "${builds[$i]}"; then
    outcome=BROKEN; broken=$((broken + 1))
    tail -15 "$work/build.log"
  elif run_tests "$preset" "${runs[$i]}"; then
    outcome=SURVIVED; survived=$((survived + 1))
  else
    outcome=killed; killed=$((killed + 1))
  fi
  cat "$work/original" > "$file"  # a new time stamp: rebuilt when next needed
  printf '%-9s %s (%ss)\n' "$outcome" "$name" "$(( $(date +%s) - start ))"
done

echo "$killed killed, $survived survived, $stale stale, $broken broken"
[ $((survived + stale + broken)) -eq 0 ]
