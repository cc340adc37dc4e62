#!/usr/bin/env bash
# A self-extractor with the settings record, signed with osslsigncode: the
# stub reads the record in front of the signed archive and extracts it, and a
# signed copy whose record is damaged is refused with the record's message.
source "$(dirname "$0")/lib.sh"
dolm="$BUILD/dolm"
require_file "$stub" "the $STUB_ARCH Windows stub is not built"
require_file "$dolm" "the dolm tool is not built"
command -v osslsigncode >/dev/null || skip "osslsigncode is not installed"
command -v openssl >/dev/null || skip "openssl is not installed"

mkdir -p "$WORK/src"
seq 1 3000 >"$WORK/src/numbers.txt"
if ! "$dolm" pack -o "$WORK/plain.exe" --stub "$stub" --silent --title "Acme Setup" "$WORK/src/numbers.txt" \
  >"$WORK/pack.log" 2>&1; then
  fail "dolm pack: $(cat "$WORK/pack.log")"
  finish
fi
# A throwaway self-signed key and certificate.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/key.pem" -out "$WORK/cert.pem" -days 2 \
  -subj "/CN=dolm test" >"$WORK/sign.log" 2>&1 &&
  osslsigncode sign -certs "$WORK/cert.pem" -key "$WORK/key.pem" -in "$WORK/plain.exe" \
    -out "$WORK/signed.exe" >>"$WORK/sign.log" 2>&1 || { fail "signing: $(cat "$WORK/sign.log")"; finish; }

start_win "$WORK/signed.exe" -o "$(win_path "$WORK/out")"
expect_exit "signed archive extracted" 0 60
expect_eq "its file byte for byte" "$(cmp -s "$WORK/src/numbers.txt" "$WORK/out/numbers.txt" && echo same)" same

# The record begins where the stub's image ends; one byte of it changed.
cp "$WORK/signed.exe" "$WORK/damaged.exe"
printf 'U' | dd of="$WORK/damaged.exe" bs=1 seek=$(($(stat -c %s "$stub") + 2)) conv=notrunc 2>/dev/null
start_win "$WORK/damaged.exe" -o "$(win_path "$WORK/damaged")"
CHECKS=$((CHECKS + 1))
if read_dialog && dialog_control 65535 | grep -q "is damaged: its settings record fails its check"; then
  echo "ok: damaged record refused with its message"
else
  fail "damaged record refused with its message: $(cat "$WORK/dialog.txt")"
fi
probe click 1 >/dev/null
wait_win 30
expect_eq "nothing extracted from the damaged copy" "$(ls "$WORK/damaged" 2>/dev/null | wc -l)" 0
finish
