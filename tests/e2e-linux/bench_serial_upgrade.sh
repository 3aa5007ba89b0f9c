#!/usr/bin/env bash
# The scenario scripts/bench.sh times (see there); runs inside its own mount
# namespace through the end-to-end helpers.
source "$(dirname "$0")/lib.sh"
e2e_begin "$@"

size=${BENCH_IMAGE_SIZE:-326652}
e2e_make_image "$size" 1007

# vtrlupg under GNU time; the program still finds its image beside itself.
mv "$E2E_PROGRAM_DIR/vtrlupg" "$E2E_PROGRAM_DIR/vtrlupg.bin"
cat >"$E2E_PROGRAM_DIR/vtrlupg" <<WRAP
#!/bin/sh
exec /usr/bin/time -f '%e %M' -o "$E2E_DIR/time.txt" "$E2E_PROGRAM_DIR/vtrlupg.bin" "\$@"
WRAP
chmod +x "$E2E_PROGRAM_DIR/vtrlupg"

e2e_start_sim --version 1006
e2e_bind_serial ttyS0
e2e_start_upgrade -C
e2e_wait_text "Proceed with download? y/n :"
e2e_send_keys y
e2e_wait_text " Upgrade complete -- Restarting instrument!"
e2e_wait_exit 0
cmp -n "$size" -i 4:0 "$E2E_DIR/flash.bin" "$E2E_IMAGE" ||
    e2e_fail "the flash does not hold the image"

read -r seconds peak_kib <"$E2E_DIR/time.txt"
blocks=$(((size + 497) / 498))
# Per block on the wire: two WriteMemory packets (7 header bytes each), SetValue
# (6), ProgramFlashFromBuffer (3) and their replies (2, 2, 2, 3 bytes); 10 bits
# a byte at 57600 baud.
wire_bytes=$((size + blocks * (14 + 6 + 3 + 9)))
echo "image $size bytes in $blocks blocks over the serial line at 57600 baud"
echo "vtrlupg: $seconds s from start to exit (incl. 1.5 s found window, 5 s final message)"
echo "vtrlupg: peak resident memory $peak_kib KiB"
awk -v b="$wire_bytes" 'BEGIN { printf "wire time of the download alone: %.1f s\n", b * 10 / 57600 }'
e2e_pass
