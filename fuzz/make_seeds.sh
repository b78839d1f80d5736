#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into DIR/<target>/, generated rather than
# stored: firmware images of every kind, argument vectors, and request frames.
#   fuzz/make_seeds.sh BUILD_DIR DIR
set -euo pipefail
build=$1
out=$2
mkdir -p "$out/identify_fuzzer" "$out/command_line_fuzzer" "$out/frame_fuzzer"

# Firmware: the smallest file of each kind, one with a bad CRC, and junk.
for kind in QBX61 QBX62 QBX153 QBX83 QBX71 QBX72 QBX73 QBX88; do
  case $kind in QBX83|QBX88) size=8192 ;; *) size=448 ;; esac
  "$build/qbxfwgen" --kind "$kind" --size "$size" --serial SN-1 --keep KEEP -o "$out/identify_fuzzer/$kind"
done
"$build/qbxfwgen" --kind QBX71 --size 172 --bad-crc -o "$out/identify_fuzzer/QBX71-bad-crc"
head -c 300 /dev/zero | tr '\0' 'Q' >"$out/identify_fuzzer/junk"

# Argument vectors, zero-separated.
i=0
for args in '-v\0--all\0fw.bin' '-s\0007abc\0fw.bin' '--csn=CR-A\0--slot=16\0fw' '-vh' \
            '--\0-v' '-all\0fw' '--sl=4\0--verb\0--a\0f' '-c\0-x\0f' '-s\0004294967303\0f' '--verbose=1'; do
  printf -- "$args" >"$out/command_line_fuzzer/args$((i++))"
done

# Frames: a connection byte, then op (2 bytes), status (2), length (4), payload; little-endian.
frame() { printf "\\x$1\\x$2\\x00\\x00\\x00\\x$3\\x00\\x00\\x00$4"; }
serial_a='CR-A\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
{ frame 00 01 00 ''; frame 00 02 00 ''; frame 01 03 10 "$serial_a"; frame 01 04 00 ''; frame 00 09 00 ''; } \
  >"$out/frame_fuzzer/crate-walk"
{ frame 02 05 12 "$serial_a\\x01\\x00"; frame 02 06 08 '\x40\x00\x00\x00\x26\x00\x00\x00';
  frame 02 07 00 ''; frame 02 08 08 '\x00\x00\x00\x00\xab\xcd\xef\x01'; frame 02 09 00 ''; } \
  >"$out/frame_fuzzer/module-update"
