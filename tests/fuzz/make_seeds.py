#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into tests/fuzz/corpus/.

Run again after changing a seed; the files are small and kept in the tree.
"""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def le(n):
    return struct.pack("<I", n & 0xFFFFFFFF)


def frame(body):
    if isinstance(body, str):
        body = body.encode("utf-8")
    return le(len(body)) + body


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# fuzz_host_input: byte 0 = chunk count (bits 0-2), engine file missing
# (bit 3), engine init fails (bit 4), engine finish pumps and talks (bit 5),
# engine start talks (bit 6); then that many chunk sizes; then the standard
# input.
PING = '{"JSONCommand":"ping"}'
host = {
    "ping": b"\x00" + frame(PING),
    "set_addon_version_then_request": b"\x00"
    + frame('{"JSONCommand":"setAddonVersion","version":"Opera 1.2"}')
    + frame('{"function":"getText","id":1}'),
    "update_dll_valid": b"\x00" + frame('{"JSONCommand":"updateDLL","data":"TVqQAAMAAAAEAAAA\\/\\/8AALgA"}')
    + frame('{"function":"afterUpdate"}'),
    "update_dll_invalid": b"\x00" + frame('{"JSONCommand":"updateDLL","data":"TVq@QAA"}') + frame(PING),
    "update_native": b"\x00" + frame('{"JSONCommand":"updateNative","data":"TVqQ"}'),
    "engine_requests_pump": b"\x00"
    + frame('{"function":"a","pump":1}')
    + frame('{"JSONCommand":"updateDLL","data":"YWJj"}')
    + frame('{"function":"b"}x')
    + frame(PING),
    "truncated_body": b"\x00" + frame(PING) + le(100) + b'{"JSONCommand"',
    "truncated_length": b"\x00" + frame(PING) + b"\x05\x00",
    "non_positive_lengths": b"\x00" + le(0) + le(0xFFFFFFFF) + le(0x80000000) + frame(PING),
    "huge_length": b"\x00" + le(0x7FFFFFFF) + b"x" * 40,
    "chunked_reads": b"\x03\x00\x05\x81"
    + frame('{"JSONCommand":"setAddonVersion","v":"1"}')
    + frame('{"function":"chunked"}')
    + frame(PING),
    "engine_missing": b"\x08" + frame('{"function":"x"}') + frame(PING),
    "engine_init_fails": b"\x10" + frame('{"function":"x"}') + frame(PING),
    "engine_talks_in_start_and_finish": b"\x60"
    + frame('{"function":"x"}')
    + frame('{"JSONCommand":"updateDLL","data":"YWJj"}')
    + frame('{"function":"pumped in finish"}')
    + frame('{"function":"y"}'),
    "utf8_controls_quotes": b"\x00"
    + frame('{"text":"caf\u00e9 \u20ac \U0001F600 \\"q\\" \\\\ tab\\t"}')
    + frame(b'{"raw":"\x01\x1f\x7f\xc3\xa9\xff\xfe\x00z"}')
    + frame(b'_internalPumpMessage'),
}
for name, data in host.items():
    write("fuzz_host_input", name, data)

# fuzz_engine_reentry: byte 0 = flags (start talks 1, finish pumps 2,
# finish talks 4, no start 8, bits 4-7: 1 + the frame whose body is lost);
# then frames: head (kind in bits 0-2: 0-2 engine, 3 ping, 4 updateDLL,
# 5 bad updateDLL, 6 updateNative, 7 setAddonVersion; 8: later frames arrive
# at a window-message pump), script length, script (see fuzz_checks.h).
def rf(kind, script=b"", later=False):
    return bytes([kind | (8 if later else 0), len(script)]) + script


reentry = {
    "update_pumped_in_call": b"\x00" + rf(0, b"\x00\x01") + rf(4) + rf(3) + rf(0),
    "update_pumped_from_window": b"\x00" + rf(0, b"\x02\x00", later=True) + rf(4) + rf(3) + rf(0),
    "modal_loop_in_call": b"\x00" + rf(7) + rf(0, b"\x02\x00\x03", later=True) + rf(4) + rf(0, b"\x00"),
    "deep_nesting": b"\x00" + rf(0, b"\x00") * 40 + rf(3),
    "pump_burst_and_closing": b"\x00" + rf(0, b"\x3b\x01") + rf(3) + rf(5) + rf(3),
    "update_native_held": b"\x00" + rf(0, b"\x00") + rf(6) + rf(3),
    "lost_body_in_pump": b"\x20" + rf(0, b"\x00") + rf(3) + rf(3),
    "finish_pumps_and_talks": b"\x07" + rf(0, b"\x01") + rf(4) + rf(0) + rf(3),
    "never_started": b"\x08" + rf(0, b"\x00") + rf(3) + rf(0),
}
for name, data in reentry.items():
    write("fuzz_engine_reentry", name, data)

# fuzz_extract_command: request texts.
commands = {
    "ping": b'{"JSONCommand":"ping"}',
    "spaced": b'{ "JSONCommand" : "updateDLL", "data":"QQ=="}',
    "no_colon_quote": b'{"JSONCommand" 5, "x":"y"}',
    "unclosed": b'{"JSONCommand":"ping',
    "long_word": b'{"JSONCommand":"' + b"w" * 259 + b'"}',
    "too_long_word": b'{"JSONCommand":"' + b"w" * 260 + b'"}',
    "zero_inside": b'{"JSONComm\x00and":"ping"}',
    "twice": b'{"x":"JSONCommand","JSONCommand":"second"}',
    "empty_word": b'{"JSONCommand":""}',
}
for name, data in commands.items():
    write("fuzz_extract_command", name, data)

# fuzz_payload: base64 payload texts.
payloads = {
    "whole_groups": b"TWFuTWFu",
    "one_pad": b"TWE=",
    "two_pads": b"TQ==",
    "unpadded_two": b"TQ",
    "unpadded_one_over": b"TWFuT",
    "escaped_slash": b"a\\/b+\\/\\/",
    "closed_early": b'QUJD"junk',
    "empty": b"",
    "pad_in_middle": b"QQ==QQ==",
    "line_end": b"QUJD\nQUJD",
    "other_escape": b"QU\\nJD",
    "three_pads": b"Q===",
    "all_ones": b"////////",
    "binary": bytes(range(256)),
}
for name, data in payloads.items():
    write("fuzz_payload", name, data)

# fuzz_write_message: byte 0 below 0xC0 = the rest as it is; 0xC0 and up =
# the rest repeated to (b - 0xBF) * 31000 bytes (0xE0: 1023000, two frames).
messages = {
    "pong": b"\x00" + b'{"topic":"pong"}',
    "escapes": b"\x00" + b'\\"\n\r\t\b\f\x01\x1f\x7f',
    "utf8": b"\x00" + "caf\u00e9 \u20ac \U0001F600".encode("utf-8"),
    "zero_bytes": b"\x00a\x00b",
    "invalid_utf8": b"\x00\xff\xfe\xc3\x28\xe2\x82\xf0\x9f\x98",
    "ill_formed_kinds": b"\x00" + b"overlong \xc0\x80 \xe0\x80\xaf surrogate \xed\xa0\x80 "
    b"past \xf4\x90\x80\x80 stray \x80\xbf lead \xf0\x9f\x98 end \xe2\x82",
    "empty": b"\x00",
    "big_euro": b"\xe0" + "\u20ac".encode("utf-8"),
    "big_quotes": b"\xe0" + b'"',
    "big_controls": b"\xe0" + b"\x01",
    "big_mixed": b"\xe0" + "a\\\"\n\u20ac\U0001F600".encode("utf-8"),
    "big_four_byte_offset": b"\xe0" + "x\U0001F600".encode("utf-8"),
    # Units whose length does not divide the chunk limit, so that the cut
    # of the first frame falls inside a sequence and must step back.
    "big_cut_in_three_byte": b"\xe0" + "\u20ac\u20acx".encode("utf-8"),
    "big_cut_in_four_byte": b"\xe0" + "x\U0001F600\U0001F600\U0001F600".encode("utf-8"),
    "big_cut_in_two_byte": b"\xe0" + "\u00e9\u20ac\u00e9".encode("utf-8"),
    "big_escaped_cut": b"\xe0" + '"\u20ac\u20ac'.encode("utf-8"),
}
for name, data in messages.items():
    write("fuzz_write_message", name, data)
