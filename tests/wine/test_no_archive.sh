#!/usr/bin/env bash
# A stub without archive shows error 22 and ends with exit code 0.
source "$(dirname "$0")/lib.sh"
require_file "$stub" "the $STUB_ARCH Windows stub is not built"
start_win "$stub"
expect_box "stub without archive" ' DOLM Self Extractor Error ' \
  $'Error #22\nCannot find options located in the second entry, unexpected error.\nUnable to locate Tarvex Options.'
probe click 1 >/dev/null
expect_exit "stub without archive" 0
finish
