#!/usr/bin/env python3
"""tstd_evidence.py PSVERIFY PSDUMP

psverify's T-STD replay on transport streams from real multiplexers
(tests/ts/make_tstd_streams.sh: ffmpeg at a ladder of multiplex rates,
192-byte packets and their 188-byte twin, AC-3, GStreamer's mpegtsmux),
judged against outside references:

- access units per PID: ffprobe's packets of the PID (those after the first
  PMT: earlier PES packets are not followed, see ts_reader.h);
- late access units: every PID for which tsreport -b finds "DTS < PCR"
  underflows, and so does every stream ffmpeg warned "dts < pcr" about;
  at the rates ffmpeg and tsreport find nothing late, nothing underflows,
  and fewer units underflow as the rate goes up;
- the MPEG-2 + MP2 ladder from 3.6 to 10 Mbit/s: its video multiplex buffer
  and audio buffer overflow (an independent T-STD simulation of the same
  muxer's output found so), while ffmpeg warns of neither;
- the 192-byte stream and its 188-byte twin: the same figures;
- the exit status: 1 for a stream that is not conformant;
- the JSON fields the README documents.
Exit status 77 (skipped) when ffmpeg, ffprobe or tsreport is missing.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

PSVERIFY, PSDUMP = (os.path.abspath(a) for a in sys.argv[1:3])
HERE = os.path.dirname(os.path.abspath(__file__))
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def verify(path):
    r = subprocess.run([PSVERIFY, "--json", "--max-events", "3", path], capture_output=True)
    return r.returncode, json.loads(r.stdout)["files"][0]


def first_pmt_offset(path):
    out = subprocess.run([PSDUMP, path, "json"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        d = json.loads(line)
        if d["type"] == "pmt":
            return d["offset"]
    return 0


def ffprobe_units(path, pmt_offset, packet_size):
    """Access units per PID by ffprobe: video packets are pictures; audio
    packets may hold several frames, so the frames it decodes count, less
    those of the packets before the first PMT."""
    d = json.load(open(path + ".ffprobe.json"))
    pids = {s["index"]: int(s["id"], 16) for s in d["streams"]}
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries", "stream=index,nb_read_frames",
                          "-of", "json", path], capture_output=True, text=True).stdout
    frames = {s["index"]: int(s["nb_read_frames"]) for s in json.loads(out)["streams"]}
    counts = {}
    for index, pid in pids.items():
        packets = [p for p in d["packets"] if p["stream_index"] == index]
        duration = lambda ps: sum(int(p.get("duration", 0)) for p in ps)
        early, pos = [], 0
        for p in packets:  # frames parsed out of one PES packet after its first have pos -1
            pos = int(p.get("pos", -1)) if int(p.get("pos", -1)) >= 0 else pos
            if pos // packet_size * packet_size < pmt_offset:
                early.append(p)
        total = duration(packets)
        counts[pid] = frames[index] - (round(duration(early) * frames[index] / total) if total else len(early))
    return counts


def tsreport_late(path):
    """PIDs with the count of PES packets whose DTS is below the PCR."""
    out = subprocess.run(["tsreport", "-b", path], capture_output=True, text=True).stdout
    late, pid = {}, None
    for line in out.splitlines():
        m = re.match(r"Stream \d+: PID ([0-9a-fA-F]+)", line)
        if m:
            pid = int(m.group(1), 16)
        m = re.search(r"DTS < PCR \* (\d+)", line)
        if m and pid is not None:
            late[pid] = int(m.group(1))
    return late


def main():
    for tool in ("ffmpeg", "ffprobe", "tsreport"):
        if not shutil.which(tool):
            print(f"skipped: {tool} not found")
            return 77
    work = tempfile.mkdtemp()
    try:
        subprocess.run([os.path.join(HERE, "make_tstd_streams.sh"), work], check=True)
        rows = [line.rstrip("\n").split("\t") for line in open(os.path.join(work, "manifest.tsv"))]
        reports = {}
        for name, muxer, video, audio, rate, warnings in rows:
            path = os.path.join(work, name)
            status, rep = verify(path)
            reports[name] = rep
            check(rep["error"] is None, f"{name}: {rep['error']}")
            if rep["error"] is not None:
                continue
            check(status == (0 if rep["conformant"] else 1), f"{name}: status {status}")
            streams = {s["pid"]: s for s in rep["streams"]}
            for s in rep["streams"]:
                for key in ("pid", "stream_type", "buffers", "access_units", "underflow_units", "overflow_episodes"):
                    check(key in s, f"{name}: stream without {key}")
            check(set(rep["system"]["buffers"]) == {"TBsys", "Bsys"}, f"{name}: system buffers")
            # MB drains at Rbx: an episode above its size takes time to end.
            for s in rep["streams"]:
                for e in s["events"]:
                    if e["type"] == "overflow" and e["buffer"] == "MB":
                        check(e["end_time"] > e["time"], f"{name}: MB episode at {e['time']} ends as it begins")

            # Access units against ffprobe.
            size = 192 if name.endswith(".m2ts") else 188
            units = ffprobe_units(path, first_pmt_offset(path), size)
            for pid, s in streams.items():
                if s["modelled"]:
                    check(s["access_units"] == units.get(pid), f"{name}: PID {pid:#x} {s['access_units']} units, ffprobe {units.get(pid)}")
                    want = {"TB", "MB", "EB"} if s["kind"] in ("MPEG video", "H.264") else {"TB", "B"}
                    check(set(s["buffers"]) == want, f"{name}: PID {pid:#x} buffers {sorted(s['buffers'])}")

            # Late units against tsreport and ffmpeg's own warnings.
            late = tsreport_late(path) if size == 188 else {}
            for pid, n in late.items():
                if pid in streams and streams[pid]["modelled"]:
                    check(streams[pid]["underflow_units"] > 0, f"{name}: tsreport finds {n} late PES on {pid:#x}, psverify no underflow")
            underflows = sum(s["underflow_units"] for s in rep["streams"])
            if int(warnings) > 0:
                check(underflows > 0, f"{name}: ffmpeg warned {warnings}x dts < pcr, psverify no underflow")
            if muxer == "ffmpeg" and int(warnings) == 0 and not late and size == 188:
                check(underflows == 0, f"{name}: {underflows} underflows where ffmpeg and tsreport find nothing late")

            if name.startswith("mpeg2_mp2_") and name.endswith("k.ts") and "m2ts" not in name:
                mb = streams[0x100]["buffers"]["MB"]["overflow_episodes"]
                b = streams[0x101]["buffers"]["B"]["overflow_episodes"]
                check(mb > 0 and b > 0, f"{name}: MB overflows {mb}, B overflows {b}")
                check(not rep["conformant"] and status == 1, f"{name}: conformant")

        # Fewer late units as the rate goes up.
        for prefix in ("mpeg2_mp2_", "h264_aac_"):
            ladder = sorted((int(r[4]), r[0]) for r in rows if r[0].startswith(prefix) and r[0].endswith("k.ts")
                            and "m2ts" not in r[0])
            counts = [sum(s["underflow_units"] for s in reports[n]["streams"]) for _, n in ladder]
            check(counts == sorted(counts, reverse=True), f"{prefix} ladder underflows {counts}")

        # 192-byte packets and their 188-byte twin.
        a, b = reports.get("mpeg2_mp2_m2ts_10000k.m2ts"), reports.get("mpeg2_mp2_m2ts_10000k.ts")
        if a and b:
            strip = lambda rep: [{k: v for k, v in s.items() if k != "events"} for s in rep["streams"]]
            check(strip(a) == strip(b), "m2ts and its 188-byte twin differ")
            check(a["format"] == "transport_192" and b["format"] == "transport_188", "formats")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL:", f)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
