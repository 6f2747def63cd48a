"""The floor of an update: the time that neither the tool nor the line can shorten, following the
engine's fixed schedule (100 ms sleeps around each request, a 10 ms tick, a block reply judged
complete only after more than 50 ms of silence) and the wire time at 115200 baud, 8E1. Its
constants are the ones the benchmark's report quotes (constants())."""

import dataclasses

from fwtwine.checks import BLOCK

BAUD = 115200  # LINK_BAUD, engine/update_job.h
BITS_PER_BYTE = 11  # start, 8 data, even parity, stop
# The schedule, as the engine and the host name it.
TICK_MS = 10  # TICK_MS, host/main_window.cpp
SLEEP_MS = 100  # SEND_SLEEP_MS, engine/update_job.h
SILENCE_MS = 50  # REPLY_GAP_MS, engine/update_job.h
FLASH_MS = 20  # DEVICE_FLASH_MS, tools/devsim/device_model.h: fwt-devsim's time to write a block
TONE_MS = 50  # ACK_TONE_MS, per block on Windows; Beep returns at once under Wine
FINAL_TONE_MS = 100

# Frame lengths in bytes on the wire, as engine/frame.h names them.
BLOCK_DATA = BLOCK  # MAX_BLOCK_DATA
BLOCK_REQUEST = BLOCK_DATA + 11  # MAX_BLOCK_DATA + BLOCK_FRAME_OVERHEAD
BLOCK_REPLY = 11  # BLOCK_ACK_LEN
CHECKSUM_REQUEST = 13  # CHECKSUM_QUERY_LEN
CHECKSUM_REPLY = 15  # CHECKSUM_REPLY_LEN
RESTART_REQUEST = 5  # RESTART_FRAME_LEN
RESTART_REPLY = 5  # RESTART_ACK_LEN


@dataclasses.dataclass(frozen=True)
class Floor:
    blocks: int
    byte_ms: float
    request_ms: float  # a block request on the wire
    ack_ms: float  # a block acknowledgement on the wire
    line_ms: float  # request + flash + acknowledgement
    block_ms: float  # one block on the critical path, under Wine
    contact_ms: float
    verify_ms: float
    restart_ms: float
    wine_ms: float  # the whole update under Wine (no tones)
    windows_ms: float  # the same with Windows' tones
    # The plain sum of the terms with no overlap, for comparison; no lower bound.
    sleeps_ms: float
    wire_ms: float
    ticks_ms: float
    plain_ms: float
    plain_windows_ms: float

    @property
    def block_windows_ms(self):
        return self.block_ms + TONE_MS


def blocks_of(image_size):
    return -(-image_size // BLOCK_DATA)


def constants():
    """The model's constants by lower-case name, for the report."""
    names = "baud bits_per_byte tick_ms sleep_ms silence_ms flash_ms tone_ms final_tone_ms"
    named = {name: globals()[name.upper()] for name in names.split()}
    return dict(
        named,
        block_request=BLOCK_REQUEST,
        block_reply=BLOCK_REPLY,
        checksum_bytes=CHECKSUM_REQUEST + CHECKSUM_REPLY,
        restart_bytes=RESTART_REQUEST + RESTART_REPLY,
    )


def floor(blocks, baud=BAUD, flash_ms=FLASH_MS):
    byte = BITS_PER_BYTE / baud * 1000
    request = BLOCK_REQUEST * byte
    ack = BLOCK_REPLY * byte
    # Contact: a tick to reset, a tick that sends; the replies to the first two requests arrive
    # together in one read and fail the check, so the third one's reply establishes the link.
    contact = 2 * TICK_MS + 3 * SLEEP_MS + 2 * TICK_MS
    # The sleep before the write; then the second sleep and the line run side by side; then
    # the silence and the tick that reads and judges the acknowledgement.
    line = request + flash_ms + ack
    block = SLEEP_MS + max(line, SLEEP_MS) + SILENCE_MS + TICK_MS
    verify = max((CHECKSUM_REQUEST + CHECKSUM_REPLY) * byte, TICK_MS)  # read on the next tick
    restart = max((RESTART_REQUEST + RESTART_REPLY) * byte, TICK_MS)
    wine = contact + blocks * block + verify + restart
    windows = wine + blocks * TONE_MS + FINAL_TONE_MS
    sleeps = 3 * SLEEP_MS + 2 * SLEEP_MS * blocks
    wire = (
        3 * (CHECKSUM_REQUEST + CHECKSUM_REPLY)
        + blocks * (BLOCK_REQUEST + BLOCK_REPLY)
        + CHECKSUM_REQUEST
        + CHECKSUM_REPLY
        + RESTART_REQUEST
        + RESTART_REPLY
    ) * byte
    ticks = (3 + blocks + 2) * TICK_MS
    plain = sleeps + wire + blocks * flash_ms + blocks * SILENCE_MS + ticks
    return Floor(
        blocks=blocks,
        byte_ms=byte,
        request_ms=request,
        ack_ms=ack,
        line_ms=line,
        block_ms=block,
        contact_ms=contact,
        verify_ms=verify,
        restart_ms=restart,
        wine_ms=wine,
        windows_ms=windows,
        sleeps_ms=sleeps,
        wire_ms=wire,
        ticks_ms=ticks,
        plain_ms=plain,
        plain_windows_ms=plain + blocks * TONE_MS + FINAL_TONE_MS,
    )
