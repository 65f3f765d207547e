#!/usr/bin/env bash
# The man page renders without a single warning.
set -euo pipefail
page=$1
warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "$warnings"
  exit 1
fi
man -l "$page" 2>/dev/null | grep -q 'EXIT STATUS'
