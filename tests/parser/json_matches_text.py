#!/usr/bin/env python3
"""json_matches_text.py PSDUMP DATA_DIR

For every sample stream in DATA_DIR, and a made-up stream that carries every
optional PES header field with clock and time stamps above 2^32:
`psdump STREAM json` must be strict UTF-8 JSON Lines, one object per pack,
with no -1 anywhere, and every value the text dump shows must equal the same
key's value in the JSON (clock and time stamps on their low 32 bits, which
is what the text dump prints).  The pack count goes to standard error.  On
a stream error both end with status 1 and the JSON has every pack before the
broken one.
"""
import glob
import json
import os
import re
import subprocess
import sys
import tempfile

# One pack, SCR base 2^32 + 5, one video packet with PTS 2^32 + 3600, DTS
# 2^32, ESCR, ES_rate 1, trick mode 0x1F, additional copy info 5, CRC 0x1234,
# a P-STD extension (scale 1, size 232) and two stuffing bytes.
ALL_FIELDS = bytes.fromhex("000001ba640004002c01000007f8000001e0002f84ff1c3900011c21190001000104000400040180"
                           "00031f8512341060e8ffff000102030405060708090a0b0c0d0e0f")
ALL_FIELDS_33_BITS = ((1 << 32) + 5, (1 << 32) + 3600, 1 << 32)

# Text-dump name -> (record, JSON keys of its values).  Names not listed
# (flags the model does not keep) are not compared.
NAMES = {
    "scr": ("pack", ["scr", "ext"]), "mux": ("pack", ["mux"]), "stuffing": ("pack", ["stuffing"]),
    "length": ("header", ["header_length"]), "p-std buffer_bound_scale": ("entry", ["std_buffer_bound_scale"]),
    "p-std buffer_size_bound": ("entry", ["std_buffer_size_bound", "actual_std_size"]),
    "pes_packet_length": ("packet", ["length", "ends_at"]), "packet_length": ("packet", ["length", "ends_at"]),
    "pes_scrambling_control": ("packet", ["pes_scrambling_code"]), "PTS_DTS_flags": ("packet", ["pts_dts_flag"]),
    "PTS": ("packet", ["pts"]), "DTS": ("packet", ["dts"]), "trick_mode_control": ("packet", ["trick_mode"]),
    "previous_PES_packet_CRC": ("packet", ["previous_pes_packet_crc"]),
    "P-STD_buffer_scale": ("packet", ["std_buffer_scale"]), "STD_buffer_scale": ("packet", ["std_buffer_scale"]),
    "P-STD_buffer_size": ("packet", ["std_buffer_size"]),
    "P-STD_actual_buffer_size": ("packet", ["std_buffer_size_bytes"]),
    "STD_buffer_size_bound": ("packet", ["std_buffer_size", "std_buffer_size_bytes"]),
}
NAMES.update({n: ("header", [n]) for n in ["rate_bound", "audio_bound", "fixed_flag", "csps_flag", "video_bound",
                                          "system_audio_lock_flag", "system_video_lock_flag",
                                          "packet_rate_restriction"]})
NAMES.update({n: ("packet", [n]) for n in ["data_alignment_indicator", "copyright", "original_or_copy",
                                          "pes_header_data_length", "es_rate", "additional_copy_info"]})
LOW32 = {"scr", "pts", "dts"}


def number(text):
    return int(text, 16) if text.startswith("0x") else int(text)


def read_text_dump(out):
    packs, rec = [], {}
    for line in out.splitlines():
        m = re.fullmatch(r"(Pack|\t\tSystem Header|\t\tPacket) \[(0x\w+)\]", line)
        if m:
            kind = m.group(1).strip()
            if kind == "Pack":
                rec["pack"] = {"offset": number(m.group(2)), "system_headers": [], "packets": []}
                packs.append(rec["pack"])
            elif kind == "Packet":
                rec["packet"] = {"starting_offset": number(m.group(2))}
                rec["pack"]["packets"].append(rec["packet"])
            else:
                rec["header"] = {"starting_offset": number(m.group(2)), "buffer_info": []}
                rec["pack"]["system_headers"].append(rec["header"])
        elif line == "\t\t\tSKIPPING_STUFFING_BYTES ":
            rec["packet"]["header_stuffing_bytes"] = rec["packet"].get("header_stuffing_bytes", 0) + 1
        elif m := re.fullmatch(r"(\t+)stream_id = (0x\w+)(?:  \((.*)\))?", line):
            if len(m.group(1)) == 4:
                rec["entry"] = {"stream_id": number(m.group(2))}
                rec["header"]["buffer_info"].append(rec["entry"])
            else:
                rec["packet"].update(stream_id=number(m.group(2)), stream_name=m.group(3))
        elif m := re.fullmatch(r"\t+(.+?) *= (-?\w+)(?::(\d+)| - \((\d+)\)| \(ends @ (0x\w+)\))?.*", line):
            if m.group(1) in NAMES:
                where, keys = NAMES[m.group(1)]
                values = [number(v) for v in m.groups()[1:] if v is not None]
                rec[where].update(zip(keys, values))
    return packs


def compare(where, text, js, failures):
    for key, want in text.items():
        got = js.get(key)
        if isinstance(want, list):
            if len(got or []) != len(want):
                failures.append(f"{where}.{key}: {len(got or [])} elements, text dump has {len(want)}")
            for i, (t, j) in enumerate(zip(want, got or [])):
                compare(f"{where}.{key}[{i}]", t, j, failures)
        else:
            if key in LOW32 and isinstance(got, int):
                got = (got + (1 << 31)) % (1 << 32) - (1 << 31)  # as the text dump's signed 32 bits
            if got != want:
                failures.append(f"{where}.{key}: json {js.get(key)!r}, text dump {want!r}")


def no_absent_values(obj):
    values = obj.values() if isinstance(obj, dict) else obj if isinstance(obj, list) else None
    return obj != -1 if values is None else all(no_absent_values(v) for v in values)


def check(psdump, stream, failures):
    name = os.path.basename(stream)
    text = subprocess.run([psdump, stream], capture_output=True)
    js = subprocess.run([psdump, stream, "json", "print_pack_count"], capture_output=True)
    packs = [json.loads(line) for line in js.stdout.decode("utf-8").splitlines()]  # strict UTF-8
    text_packs = read_text_dump(text.stdout.decode("latin-1"))
    if text.returncode != js.returncode or text.returncode not in (0, 1):
        failures.append(f"{name}: status {text.returncode} (text), {js.returncode} (json)")
    elif text.returncode == 1:
        text_packs = text_packs[:-1]  # the broken pack has no line
    elif js.stderr.decode() != f"Total Packs = {len(packs)}\n":
        failures.append(f"{name}: standard error {js.stderr!r} for {len(packs)} JSON lines")
    if not all(isinstance(p, dict) for p in packs) or not no_absent_values(packs):
        failures.append(f"{name}: a line is not an object, or holds -1")
    compare(name, {"packs": text_packs}, {"packs": packs}, failures)
    print(f"{name}: {len(packs)} packs, {len(failures)} failures so far")
    return packs


def main():
    psdump, data_dir = sys.argv[1], sys.argv[2]
    failures = []
    with tempfile.TemporaryDirectory() as work:
        made_up = os.path.join(work, "all_fields.mpg")
        with open(made_up, "wb") as f:
            f.write(ALL_FIELDS)
        packs = check(psdump, made_up, failures)
        got = (packs[0]["scr"], packs[0]["packets"][0]["pts"], packs[0]["packets"][0]["dts"]) if packs else None
        if got != ALL_FIELDS_33_BITS:
            failures.append(f"all_fields.mpg: 33-bit values {got}, not {ALL_FIELDS_33_BITS}")
    streams = sorted(glob.glob(os.path.join(data_dir, "*.mpg")) + glob.glob(os.path.join(data_dir, "*.vob")))
    for stream in streams:
        check(psdump, stream, failures)
    for f in failures[:40]:
        print("FAIL", f)
    return 1 if failures or not streams else 0


if __name__ == "__main__":
    sys.exit(main())
