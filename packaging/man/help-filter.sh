#!/usr/bin/env bash
# Runs a tool (help-filter.sh TOOL ARGS...) and hands its output to help2man
# in the shape help2man reads a synopsis from: the help's first line
# "usage: ..." as "Usage: ...", with a second line that only continues it
# (deeply indented, starting with "[") joined to it. Nothing else changes.
set -o pipefail
"$@" | awk '
  NR == 1 { sub(/^usage:/, "Usage:"); line = $0; next }
  NR == 2 && /^          +\[/ { sub(/^ +/, " "); line = line $0; next }
  { if (line != "") print line; line = ""; print }
  END { if (line != "") print line }'
