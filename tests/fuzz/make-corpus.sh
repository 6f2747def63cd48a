#!/usr/bin/env bash
# Writes the seed corpus of the engine fuzz target: small scripts (layout in engine_fuzz.cpp)
# that reach every state of the update job, so the fuzzer starts from deep runs. The corpus also
# keeps the inputs a long campaign found that raised coverage (campaign-*, named by their SHA-1);
# this script leaves them in place.
set -euo pipefail
out="${1:-$(dirname "$0")/corpus}"
mkdir -p "$out"

# seed NAME HEX...: writes the bytes given as two-digit hex numbers.
seed() {
    local name="$1"
    shift
    local esc=""
    for b in "$@"; do
        esc+="\\x$b"
    done
    printf "$esc" >"$out/$name"
}

# One block answered by hand: contact, block, checksum, restart.
seed one-block 00 00 01 00 10 03 00 00 03 00 60 03 00 00 03 00 00 00
# Four blocks against the simulated device answering after 20 ms.
seed four-blocks-device 03 00 07 00 19 0a f0 f0 f0 f0 f0 f0 f0 f0 f0 f0 f0 f0
# The same across the 32-bit tick wrap-around, 4 s before it.
seed wrap-around 01 00 02 40 19 0a f0 f0 f0 f0 f0 f0 f0 f0 f0 f0
# A checksum that differs: the run ends failed, then the button is pressed again.
seed crc-fail 00 00 03 00 39 05 f0 f0 f0 f0 f0 f0 f0 08 19 05 f0 f0 f0 f0 f0 f0 f0 f0
# An image whose last block is short (1536 bytes).
seed short-tail 01 40 05 00 19 05 f0 f0 f0 f0 f0 f0 f0 f0 f0 f0
# An image of 8 bytes, shorter than one block.
seed shorter-than-a-block 00 7f 0c 00 19 05 f0 f0 f0 f0 f0 f0 f0 f0
# No acknowledgement: the block times out and is resent, then answered late.
seed block-timeout 00 00 04 00 10 03 00 00 92 00 03 00 60 03 00 00 03 00 00 00
# A block acknowledgement that fills the buffer, then the time-out's resend.
seed buffer-full 00 00 06 00 10 03 00 00 36 20 55 60 92 00 03 00 60 03 00 00 03 00 00 00
# Garbage and short frames with the right checksum while linking and programming.
seed garbage 00 00 08 00 10 44 07 01 02 03 04 05 06 07 00 03 00 00 25 04 aa bb cc dd 00 60 03 00 00 23 00 03 00 00 03 00 00 00
# The acknowledgement dribbled in 3-byte pieces 30 ms apart, reads costing 2 ms.
seed dribble 00 00 09 00 27 10 03 00 00 83 00 02 1e f0 03 00 00 03 00 00 00
# A mismatched address and a wrongly valued checksum reply, then the right ones.
seed wrong-values 01 00 0a 00 10 03 00 00 13 00 40 60 03 00 60 03 00 60 13 00 07 00 03 00 00 03 00 00 00
# A corrupted checksum reply, a 10 s wait and the resend answered.
seed corrupt-verify 00 00 0b 00 10 03 00 00 03 00 60 43 00 05 01 00 a2 00 03 00 00 03 00 00 00
