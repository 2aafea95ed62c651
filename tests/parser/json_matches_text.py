#!/usr/bin/env python3
"""json_matches_text.py PSDUMP DATA_DIR

For every sample stream in DATA_DIR, and a made-up stream that carries every
optional PES header field with time stamps above 2^32: `psdump STREAM json`
must be strict UTF-8 JSON Lines, one object per pack, with no -1 anywhere,
and every value the text dump shows must equal the same key's value in the
JSON (clock and time stamps compared on their low 32 bits, which is what the
text dump prints).  The pack count goes to standard error in JSON mode.
"""
import glob
import json
import os
import re
import subprocess
import sys
import tempfile


def low32(v):
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v >= 1 << 31 else v


def time_stamp(prefix, ts):
    return bytes([(prefix << 4) | (((ts >> 30) & 7) << 1) | 1, (ts >> 22) & 0xFF,
                  (((ts >> 15) & 0x7F) << 1) | 1, (ts >> 7) & 0xFF, ((ts & 0x7F) << 1) | 1])


def made_up_stream():
    """One pack, SCR base 2^32 + 5, one video packet with every optional
    field: PTS 2^32 + 3600, DTS 2^32, ESCR, ES_rate 1, trick mode 0x1F,
    additional copy info 5, CRC 0x1234, a P-STD extension, two stuffing
    bytes."""
    scr = (1 << 32) + 5
    pack = bytes([0, 0, 1, 0xBA, 0x44 | (((scr >> 30) & 7) << 3) | ((scr >> 28) & 3), (scr >> 20) & 0xFF,
                  (((scr >> 15) & 0x1F) << 3) | 4 | ((scr >> 13) & 3), (scr >> 5) & 0xFF,
                  ((scr & 0x1F) << 3) | 4, 1, 0, 0, 7, 0xF8])
    opt = (time_stamp(3, (1 << 32) + 3600) + time_stamp(1, 1 << 32) + bytes([4, 0, 4, 0, 4, 1])
           + bytes([0x80, 0, 3, 0x1F, 0x85, 0x12, 0x34, 0x10, 0x60, 0xE8, 0xFF, 0xFF]))
    body = bytes([0x84, 0xFF, len(opt)]) + opt + bytes(range(16))
    return pack + bytes([0, 0, 1, 0xE0, len(body) >> 8, len(body) & 0xFF]) + body


# Text-dump lines: (pattern, record, keys).  The record is "pack",
# "header", "entry" or "packet" (the last one opened).
LINES = [
    (r"\tscr = (-?\d+):(\d+)", "pack", ["scr", "ext"]),
    (r"\tscr = (-?\d+)", "pack", ["scr"]),
    (r"\tmux = (\d+) ", "pack", ["mux"]),
    (r"\tstuffing = (\d+)", "pack", ["stuffing"]),
    (r"\t\t\t(length|rate_bound|audio_bound|video_bound|packet_rate_restriction) = (\d+)", "header", None),
    (r"\t\t\t(fixed_flag|csps_flag) +  = (\d+)", "header", None),
    (r"\t\t\t(system_audio_lock_flag|system_video_lock_flag) = (\d+)", "header", None),
    (r"\t\t\t\tp-std buffer_bound_scale = (\d+)", "entry", ["std_buffer_bound_scale"]),
    (r"\t\t\t\tp-std buffer_size_bound  = (\d+) - \((\d+)\)", "entry",
     ["std_buffer_size_bound", "actual_std_size"]),
    (r"\t\t\tstream_id = 0x([0-9a-f]+)  \((.*)\)", "packet", ["stream_id", "stream_name"]),
    (r"\t\t\t(?:pes_)?packet_length = (\d+) \(ends @ 0x([0-9a-f]+)\)", "packet", ["length", "ends_at"]),
    (r"\t\t\tpes_scrambling_control = (\d+)", "packet", ["pes_scrambling_code"]),
    (r"\t\t\t(data_alignment_indicator|copyright|original_or_copy|pes_header_data_length|es_rate"
     r"|additional_copy_info) = (\d+)", "packet", None),
    (r"\t\t\tPTS_DTS_flags = (\d+)", "packet", ["pts_dts_flag"]),
    (r"\t\t\t(PTS|DTS) = (-?\d+)", "packet", None),
    (r"\t\t\ttrick_mode_control = (\d+)", "packet", ["trick_mode"]),
    (r"\t\t\tprevious_PES_packet_CRC = (\d+)", "packet", ["previous_pes_packet_crc"]),
    (r"\t\t\t\tP-STD_buffer_scale = (\d+)|\t\t\tSTD_buffer_scale = (\d+)", "packet", ["std_buffer_scale"]),
    (r"\t\t\t\tP-STD_buffer_size = (\d+)", "packet", ["std_buffer_size"]),
    (r"\t\t\t\tP-STD_actual_buffer_size = (\d+)", "packet", ["std_buffer_size_bytes"]),
    (r"\t\t\tSTD_buffer_size_bound  = (\d+) - \((\d+)\)", "packet", ["std_buffer_size", "std_buffer_size_bytes"]),
]
RENAME = {"length": "header_length", "PTS": "pts", "DTS": "dts"}


def value(key, text):
    if key in ("stream_id", "ends_at"):
        return int(text, 16)
    return text if key == "stream_name" else int(text)


def read_text_dump(out):
    packs, rec = [], {}
    for line in out.splitlines():
        m = re.fullmatch(r"(Pack|\t\tSystem Header|\t\tPacket) \[0x([0-9a-f]+)\]", line)
        if m:
            kind, offset = m.group(1).strip(), int(m.group(2), 16)
            if kind == "Pack":
                rec["pack"] = {"offset": offset, "system_headers": [], "packets": []}
                packs.append(rec["pack"])
            elif kind == "System Header":
                rec["header"] = {"starting_offset": offset, "buffer_info": []}
                rec["pack"]["system_headers"].append(rec["header"])
            else:
                rec["packet"] = {"starting_offset": offset}
                rec["pack"]["packets"].append(rec["packet"])
            continue
        if re.fullmatch(r"\t\t\t\tstream_id = 0x([0-9a-f]+)", line):
            rec["entry"] = {"stream_id": int(line.split("0x")[1], 16)}
            rec["header"]["buffer_info"].append(rec["entry"])
            continue
        if line == "\t\t\tSKIPPING_STUFFING_BYTES ":
            p = rec["packet"]
            p["header_stuffing_bytes"] = p.get("header_stuffing_bytes", 0) + 1
        for pattern, where, keys in LINES:
            m = re.fullmatch(pattern, line)
            if m:
                groups = [g for g in m.groups() if g is not None]
                if keys is None:
                    keys, groups = [RENAME.get(groups[0], groups[0])], groups[1:]
                for k, g in zip(keys, groups):
                    rec[where][k] = value(k, g)
                break
    return packs


def compare(where, text, js, failures):
    for key, want in text.items():
        if isinstance(want, list):
            got = js.get(key, [])
            if len(got) != len(want):
                failures.append(f"{where}.{key}: {len(got)} elements, text dump has {len(want)}")
                continue
            for i, (t, j) in enumerate(zip(want, got)):
                compare(f"{where}.{key}[{i}]", t, j, failures)
            continue
        got = js.get(key)
        if key in ("scr", "pts", "dts") and isinstance(got, int):
            got = low32(got)
        if got != want:
            failures.append(f"{where}.{key}: json {js.get(key)!r}, text dump {want!r}")


def no_absent_values(obj):
    if isinstance(obj, dict):
        return all(no_absent_values(v) for v in obj.values())
    if isinstance(obj, list):
        return all(no_absent_values(v) for v in obj)
    return obj != -1


def check(psdump, stream, failures):
    name = os.path.basename(stream)
    text = subprocess.run([psdump, stream], capture_output=True)
    js = subprocess.run([psdump, stream, "json", "print_pack_count"], capture_output=True)
    if text.returncode != js.returncode or text.returncode not in (0, 1):
        failures.append(f"{name}: status {text.returncode} (text), {js.returncode} (json)")
        return
    lines = js.stdout.decode("utf-8").splitlines()  # strict UTF-8
    packs = [json.loads(line) for line in lines]
    text_packs = read_text_dump(text.stdout.decode("latin-1"))
    if text.returncode == 1:
        # A stream error ends the run inside a pack: the packs before it
        # are whole lines, the broken pack has none.
        text_packs = text_packs[:-1]
        if len(packs) != len(text_packs):
            failures.append(f"{name}: {len(packs)} JSON lines before the stream error, not {len(text_packs)}")
    elif js.stderr.decode() != f"Total Packs = {len(packs)}\n":
        failures.append(f"{name}: standard error {js.stderr!r} for {len(packs)} JSON lines")
    if not all(isinstance(p, dict) and no_absent_values(p) for p in packs):
        failures.append(f"{name}: a line is not an object, or holds -1")
    before = len(failures)
    compare(name, {"packs": text_packs}, {"packs": packs}, failures)
    print(f"{'FAIL' if len(failures) > before else 'ok  '} {name}: {len(packs)} packs")
    return packs


def main():
    psdump, data_dir = sys.argv[1], sys.argv[2]
    failures = []
    with tempfile.TemporaryDirectory() as work:
        made_up = os.path.join(work, "all_fields.mpg")
        with open(made_up, "wb") as f:
            f.write(made_up_stream())
        packs = check(psdump, made_up, failures)
        # Values the text dump cuts to 32 bits, and the fields it never shows.
        if packs and (packs[0]["scr"], packs[0]["packets"][0].get("pts"), packs[0]["packets"][0].get("dts"),
                      packs[0]["packets"][0].get("extension_data")) != ((1 << 32) + 5, (1 << 32) + 3600, 1 << 32, 1):
            failures.append(f"all_fields.mpg: 33-bit values or extension_data wrong: {packs[0]}")
        streams = sorted(glob.glob(os.path.join(data_dir, "*.mpg")) + glob.glob(os.path.join(data_dir, "*.vob")))
        for stream in streams:
            check(psdump, stream, failures)
    for f in failures[:40]:
        print("FAIL", f)
    return 1 if failures or not streams else 0


if __name__ == "__main__":
    sys.exit(main())
