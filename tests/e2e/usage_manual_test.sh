#!/usr/bin/env bash
# Keeps each tool's usage text and its manual page in step: every option that `--help` (for
# plugin_sign, which has none, its usage line) names is in the manual's SYNOPSIS or OPTIONS,
# and every option there is in the usage text.
# Usage: usage_manual_test.sh BINARY_DIR MAN_DIR
set -euo pipefail
binary_dir=$1 man_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# The options a usage text names: the words beginning with - in its "usage:" line and the
# lines that continue it, and the options that begin an entry of its option list (a line
# indented by at most four spaces, alternatives separated by ", "). Prose such as "--force
# replaces existing files" or "for plugin_verify -r", indented deeper, is not an entry.
usage_options() {
  awk '
    function words(text,   n, i, w, parts) {
      n = split(text, parts, /[][ |,]+/)
      for (i = 1; i <= n; ++i) {
        w = parts[i]
        sub(/\.\.\.$/, "", w)
        if (w ~ /^--?([A-Za-z0-9][A-Za-z0-9-]*)?$/ && w != "-") print w
      }
    }
    /usage: / { in_usage = 1; text = $0; sub(/.*usage: /, "", text); words(text); next }
    in_usage && /^[ \t]+[^ \t]/ { words($0); next }
    { in_usage = 0 }
    match($0, /^ +-/) && RLENGTH <= 5 {
      entry = $0
      sub(/^ +/, "", entry)
      # The option names run up to the first gap of two spaces or an argument in capitals.
      sub(/  .*/, "", entry)
      n = split(entry, alternatives, /, /)
      for (i = 1; i <= n; ++i) { split(alternatives[i], w, / /); words(w[1]) }
    }'
}

# The options a manual page names in its SYNOPSIS and as the tags of its OPTIONS section
# (the line after .TP, or the argument of .IP), with the roff read as a reader sees it:
# font changes, escapes and the quotes of macro arguments taken away.
manual_options() {
  awk '
    function plain(line) {
      sub(/^\.[A-Za-z]+[ \t]*/, "", line)          # the macro name
      gsub(/\\f(\[[^]]*\]|\([A-Za-z][A-Za-z]|.)/, "", line)  # font changes
      gsub(/\\-|\\\(hy|\\\(mi/, "-", line)
      gsub(/\\\(em|\\\(en/, " ", line)
      gsub(/\\&|\\c|\\\/|\\,|\\%|\\:/, "", line)
      gsub(/\\ /, " ", line)
      gsub(/"/, " ", line)
      return line
    }
    function words(text,   n, i, w, parts) {
      n = split(text, parts, /[][ \t|,()=]+/)
      for (i = 1; i <= n; ++i) {
        w = parts[i]
        sub(/\.\.\.$/, "", w)
        if (w ~ /^--?([A-Za-z0-9][A-Za-z0-9-]*)?$/ && w != "-") print w
      }
    }
    /^\.\\"/ || /^'"'"'\\"/ { next }               # comments
    /^\.SH/ {
      heading = plain($0); gsub(/^[ \t]+|[ \t]+$/, "", heading)
      section = heading; tag_next = 0; next
    }
    section == "SYNOPSIS" { words(plain($0)); next }
    section != "OPTIONS" { next }
    /^\.TP/ { tag_next = 1; next }
    tag_next { tag_next = 0; words(plain($0)); next }
    /^\.IP/ { line = $0; sub(/^\.IP[ \t]*/, "", line)
              if (line ~ /^"/) { sub(/^"/, "", line); sub(/".*/, "", line) } else sub(/[ \t].*/, "", line)
              words(plain(line)) }'
}

check_tool() {
  local tool=$1 usage_text=$2
  usage_options <"$usage_text" | sort -u >"$work/$tool.usage"
  manual_options <"$man_dir/$tool.1" | sort -u >"$work/$tool.manual"
  local only_usage only_manual
  only_usage=$(comm -23 "$work/$tool.usage" "$work/$tool.manual" | tr '\n' ' ')
  only_manual=$(comm -13 "$work/$tool.usage" "$work/$tool.manual" | tr '\n' ' ')
  if [ -n "$only_usage" ]; then
    echo "$tool: in the usage text, not in $tool.1: $only_usage" >&2
    failed=1
  fi
  if [ -n "$only_manual" ]; then
    echo "$tool: in $tool.1, not in the usage text: $only_manual" >&2
    failed=1
  fi
  echo "$tool: $(tr '\n' ' ' <"$work/$tool.usage")"
}

"$binary_dir/plugin_verify" --help >"$work/plugin_verify.help"
"$binary_dir/plugin_key" --help >"$work/plugin_key.help"
status=0
"$binary_dir/plugin_sign" 2>"$work/plugin_sign.help" || status=$?
[ "$status" -eq 1 ] && grep -q 'usage: plugin_sign' "$work/plugin_sign.help" ||
  { echo "plugin_sign without arguments gave status $status and no usage line" >&2; exit 1; }

check_tool plugin_verify "$work/plugin_verify.help"
check_tool plugin_key "$work/plugin_key.help"
check_tool plugin_sign "$work/plugin_sign.help"

# A parser that found nothing would agree with itself: the options every version has are there.
for expected in "plugin_verify -p" "plugin_verify --json" "plugin_verify --help" \
  "plugin_key --force" "plugin_key --version"; do
  set -- $expected
  grep -qx -- "$2" "$work/$1.usage" && grep -qx -- "$2" "$work/$1.manual" ||
    { echo "$1: $2 not found in both the usage text and the manual: the parsing broke" >&2; failed=1; }
done
exit "$failed"
