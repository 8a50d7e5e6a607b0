#!/usr/bin/env bash
# Runs tarvik_capi_out_of_memory under a 200 MB address-space limit (the file fits, its parsed copies do not), in a scratch directory.
set -euo pipefail
program=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarvik_oom.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
ulimit -v 200000
"$program" "$scratch"
