#!/usr/bin/env python3
"""psdump_references.py PSDUMP

psdump on transport streams that ffmpeg makes here (MPEG-2 video + MP2,
H.264 + AAC in 188- and 192-byte packets, MPEG-2 video + AC-3), checked
against outside readers of the same files:

- `psdump STREAM json` is strict UTF-8 JSON Lines;
- PES packets per PID, with their PTS and DTS: ffprobe -show_packets
  (`-pes_payload_size 0` puts one audio frame in each PES packet, so
  ffprobe's frames and the PES packets pair up);
- PAT and PMT (programs, PIDs, stream_types, ES_info bytes): tsinfo;
- PCRs (offset and value), the offset and stamps of each PES packet that
  carries a PTS, and the packet count: tsreport (188-byte packets only);
- the files of extract_streams: ffmpeg's stream copy, byte for byte;
- a copy with one video packet taken out: one continuity error, status 1,
  and every other PES packet dumped as before.
Exit status 77 (skipped) when ffmpeg, ffprobe, tsinfo or tsreport is missing.
"""
import csv
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

PSDUMP = os.path.abspath(sys.argv[1])
SOURCES = ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi", "-i", "sine", "-t", "2"]
STREAMS = {  # name: (ffmpeg codec options, raw formats for video and audio)
    "mpeg2_mp2.ts": (["-c:v", "mpeg2video", "-c:a", "mp2"], ["mpeg2video", "mp2"]),
    "h264_aac.ts": (["-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"], ["h264", "adts"]),
    "h264_aac.m2ts": (["-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-mpegts_m2ts_mode", "1"],
                      ["h264", "adts"]),
    "mpeg2_ac3.ts": (["-c:v", "mpeg2video", "-c:a", "ac3", "-metadata:s:a:0", "language=fra"], ["mpeg2video", "ac3"]),
}
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def run(args, cwd=None):
    return subprocess.run(args, cwd=cwd, capture_output=True, check=False)


def psdump_json(stream, cwd=None):
    r = run([PSDUMP, stream, "json"], cwd)
    return r.returncode, [json.loads(line) for line in r.stdout.decode("utf-8", "strict").splitlines()]


def of_type(records, kind):
    return [x for x in records if x["type"] == kind]


def against_ffprobe(name, records):
    probe = json.loads(run(["ffprobe", "-v", "error", "-show_entries", "stream=index,id:stream_tags=language:"
                            "packet=stream_index,pts,dts", "-of", "json", name]).stdout)
    pid = {s["index"]: int(s["id"], 16) for s in probe["streams"]}
    for index, p in pid.items():
        want = [(int(k["pts"]), int(k.get("dts", k["pts"]))) for k in probe["packets"] if k["stream_index"] == index]
        got = [(x["pts"], x.get("dts", x["pts"])) for x in of_type(records, "pes") if x["pid"] == p]
        check(len(got) > 40 and got == want, f"{name}: PID {p:#x}: {len(got)} PES packets, ffprobe {len(want)}")
    languages = {pid[s["index"]]: s["tags"]["language"] for s in probe["streams"] if "language" in s.get("tags", {})}
    for es in of_type(records, "pmt")[0]["streams"]:
        codes = [l["code"] for d in es["descriptors"] for l in d.get("languages", [])]
        check(codes == ([languages[es["elementary_pid"]]] if es["elementary_pid"] in languages else []),
              f"{name}: languages {codes} of PID {es['elementary_pid']:#x}")
    return pid


def against_tstools(name, records):
    info = run(["tsinfo", name]).stdout.decode()
    pat, pmt = of_type(records, "pat"), of_type(records, "pmt")
    check(len(pat) == 1 and len(pmt) == 1, f"{name}: {len(pat)} PAT and {len(pmt)} PMT records")
    programs = [(int(n), int(p, 16)) for n, p in re.findall(r"Program (\d+) -> PID ([0-9a-f]+)", info)]
    check(programs == [(p["program_number"], p["pmt_pid"]) for p in pat[0]["programs"]], f"{name}: PAT {programs}")
    m = re.search(r"Program (\d+), version (\d+), PCR PID ([0-9a-f]+)", info)
    check((int(m[1]), int(m[2]), int(m[3], 16)) == (pmt[0]["program_number"], pmt[0]["version_number"],
                                                      pmt[0]["pcr_pid"]), f"{name}: PMT header {m[0]}")
    streams = [(int(p, 16), int(t, 16), bytes.fromhex(es or ""))
               for p, t, es in re.findall(r"PID ([0-9a-f]+) \(.*\) -> Stream type ([0-9a-f]+) .*\n"
                                          r"(?:\s+ES info \(\d+ bytes\): ([0-9a-f ]+)\n)?", info)]
    ours = [(s["elementary_pid"], s["stream_type"],
             b"".join(bytes([d["tag"], d["length"]]) + bytes.fromhex(d["data"]) for d in s["descriptors"]))
            for s in pmt[0]["streams"]]
    check(streams == ours, f"{name}: PMT streams {streams}, psdump {ours}")

    report = run(["tsreport", name]).stdout.decode()
    count = run([PSDUMP, name, "print_pack_count"]).stdout.decode().splitlines()[-1]
    read = re.search(r"Read (\d+) TS packets", report)[1]
    check(count == f"Total TS Packets = {read}", f"{name}: {count}, tsreport read {read}")
    with tempfile.NamedTemporaryFile(suffix=".csv") as out:
        run(["tsreport", "-b", "-o", out.name, name])
        rows = list(csv.reader(open(out.name)))[1:]
    pcrs = [(int(r[0]), int(r[2])) for r in rows if r[1] == "read" and r[3] == ""]
    check(len(pcrs) > 10 and pcrs == [(x["offset"], x["value_27mhz"] // 300) for x in of_type(records, "pcr")],
          f"{name}: {len(pcrs)} PCRs from tsreport")
    # tsreport starts at the first PCR, and lists PES packets as they begin.
    stamps = [(int(r[0]), int(r[5]), int(r[6])) for r in rows if r[3] != ""]
    ours = sorted((x["offset"], x["pts"], x.get("dts", x["pts"])) for x in of_type(records, "pes")
                  if "pts" in x and x["offset"] >= pcrs[0][0])
    check(len(stamps) > 40 and stamps == ours, f"{name}: {len(stamps)} PES stamps from tsreport, {len(ours)} here")


def against_stream_copy(name, pids, formats, work):
    out = os.path.join(work, name + ".out")
    os.mkdir(out)
    check(run([PSDUMP, os.path.abspath(name), "extract_streams"], out).returncode == 0, f"{name}: extraction status")
    for index, fmt in enumerate(formats):
        copy = os.path.join(out, "copy." + fmt)
        run(["ffmpeg", "-nostdin", "-v", "error", "-i", name, "-map", f"0:{index}", "-c", "copy", "-f", fmt, copy])
        ours = os.path.join(out, f"pid0x{pids[index]:04x}.es")
        same = open(ours, "rb").read() == open(copy, "rb").read() and os.path.getsize(copy) > 10000
        check(same, f"{name}: {ours} against ffmpeg -f {fmt}")


def with_a_packet_lost(name, records, work):
    data = open(name, "rb").read()
    video = [x for x in of_type(records, "pes") if x["stream_id"] == 0xE0]
    lost = video[len(video) // 2]["offset"] + 188  # the second packet of a PES packet in the middle
    damaged = os.path.join(work, "lost.ts")
    open(damaged, "wb").write(data[:lost] + data[lost + 188:])
    status, after = psdump_json(damaged)
    errors = of_type(after, "error")
    check(status == 1 and [(e["kind"], e["offset"], e["pid"], e["missing_packets"]) for e in errors] ==
          [("continuity", lost, video[0]["pid"], 1)], f"{name} with a packet lost: status {status}, {errors}")
    moved = lambda x: x["offset"] - (188 if x["offset"] > lost else 0)
    before = sorted((moved(x), x.get("pts")) for x in of_type(records, "pes"))
    check(before == sorted((x["offset"], x.get("pts")) for x in of_type(after, "pes")), f"{name}: PES after a loss")
    broken = [x for x in of_type(after, "pes") if not x["complete"]]
    check([(x["offset"], x["end_reason"]) for x in broken] == [(lost - 188, "continuity")], f"{name}: {broken}")


def main():
    if not all(shutil.which(p) for p in ["ffmpeg", "ffprobe", "tsinfo", "tsreport"]):
        print("ffmpeg, ffprobe, tsinfo or tsreport is not installed")
        return 77
    with tempfile.TemporaryDirectory() as work:
        os.chdir(work)
        for name, (options, formats) in STREAMS.items():
            made = run(["ffmpeg", "-nostdin", "-v", "error"] + SOURCES + options +
                       ["-f", "mpegts", "-pes_payload_size", "0", name])
            check(made.returncode == 0, f"ffmpeg {name}: {made.stderr.decode()}")
            status, records = psdump_json(name)
            check(status == 0 and not of_type(records, "error"), f"{name}: status {status}")
            check(all(x["complete"] for x in of_type(records, "pes")), f"{name}: a PES packet incomplete")
            pids = against_ffprobe(name, records)
            if not name.endswith(".m2ts"):  # tstools read 188-byte packets only
                against_tstools(name, records)
            against_stream_copy(name, pids, formats, work)
            if name == "mpeg2_mp2.ts":
                with_a_packet_lost(name, records, work)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
