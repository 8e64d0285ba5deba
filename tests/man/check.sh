#!/usr/bin/env bash
# The manual pages: each formats without a warning and has a NAME line that whatis can read;
# kep.conf(5) documents every keyword of the reader, in its scope, with the range and default
# the reader uses, and its example passes kep-check; kep(8) documents every option.
#   check.sh SOURCE_DIR KEP_CHECK
set -u
source=$1 check=$2
man=$source/docs/man
failed=0
fail() { echo "FAIL: $*"; failed=1; }
command -v man >/dev/null || { echo "FAIL: man not found (package man-db)"; exit 1; }

for page in kep.8 kep-check.8 kep-status.8 kep-ctl.8 kep-notify.1 kep.conf.5; do
  [ -f "$man/$page" ] || fail "$page missing"
done
for page in "$man"/*.[1-8]; do
  warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  lexgrog "$page" >/dev/null || fail "$(basename "$page"): no NAME line that whatis can read"
  for section in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
    grep -qx "\.SH $section" "$page" || fail "$(basename "$page"): no $section section"
  done
done

# entry PAGE SECTION TERM: the text of the .TP entry whose tag begins with TERM, within the
# section; empty when there is none.
entry() {
  awk -v section="$2" -v term="$3" '
    /^\.SH / { in_section = (substr($0, 5) == section); on = 0; next }
    !in_section { next }
    /^\.(TP|SS)/ { on = 0; tag = ($0 == ".TP"); next }
    tag { tag = 0; split($0, w, " "); t = w[2]; gsub(/"/, "", t); if (t == term) on = 1 }
    on { print }' "$1"
}

# Every keyword of the reader's tables, with its scope.
tokens=$source/src/config/keywords.cpp
keywords() {
  awk -v table="$1" '$0 ~ table "\\[\\] = \\{" { on = 1; next } on && /^};/ { on = 0 }
    on && match($0, /\{"[A-Za-z]+", [A-Za-z]+\}/) {
      split(substr($0, RSTART + 1, RLENGTH - 2), f, /", */); print substr(f[1], 2), f[2] }' "$tokens"
}
count=0
for scope in "kKepGlobalKeywords:GLOBAL KEYWORDS" "kKepAppKeywords:APPLICATION KEYWORDS"; do
  while read -r keyword handler; do
    count=$((count + 1))
    text=$(entry "$man/kep.conf.5" "${scope#*:}" "$keyword")
    if [ -z "$text" ]; then
      fail "kep.conf.5: $keyword is not in ${scope#*:}"
      continue
    fi
    range=$(grep -A1 "^int $handler(" "$tokens" |
      sed -nE 's/.*ProcessUintToken\(c, [A-Za-z]+, ([0-9]+), ([0-9]+),.*/\1 to \2/p')
    default=$(sed -nE "s/^ *uint32_t $keyword = ([0-9]+);.*/\1/p" "$source/src/config/kep_config.h")
    [ -z "$range" ] || grep -q "$range" <<<"$text" || fail "kep.conf.5: $keyword is not '$range'"
    [ -z "$default" ] || grep -q "default $default" <<<"$text" ||
      fail "kep.conf.5: $keyword is not 'default $default'"
  done < <(keywords "${scope%%:*}")
done
[ "$count" -gt 20 ] || fail "only $count keywords found in $tokens"

options=$(sed -nE 's/.*getopt\(argc, argv, "([^"]+)"\).*/\1/p' "$source/src/main/front_end.cpp" | tr -d :)
[ -n "$options" ] || fail "kep's options not found"
for ((i = 0; i < ${#options}; i++)); do
  [ -n "$(entry "$man/kep.8" OPTIONS "\\-${options:i:1}")" ] ||
    fail "kep.8: option -${options:i:1} is not in OPTIONS"
done

example=$(mktemp)
sed -n '/^\.SH EXAMPLE$/,/^\.EE$/p' "$man/kep.conf.5" | sed '1,2d;$d' | sed 's/\\-/-/g' >"$example"
"$check" "$example" >"$example.out" 2>&1 || { cat "$example.out"; fail "kep.conf.5: the example is invalid"; }
rm -f "$example" "$example.out"
pages=("$man"/*.[1-8])
[ "$failed" = 0 ] && echo "PASS: ${#pages[@]} pages, $count keywords, options -$options"
exit "$failed"
