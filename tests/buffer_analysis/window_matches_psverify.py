#!/usr/bin/env python3
"""The window's replay and psverify give the same streams, figures, events
and verdict on every stream named.
   window_matches_psverify.py WINDOW_REPLAY_TOOL PSVERIFY STREAM..."""
import json
import subprocess
import sys

tool, psverify, streams = sys.argv[1], sys.argv[2], sys.argv[3:]
failed = 0
for stream in streams:
    window = json.loads(subprocess.run([tool, stream], capture_output=True, check=True).stdout)
    verify = json.loads(subprocess.run([psverify, "--json", "--max-events", "1000000", stream],
                                       capture_output=True).stdout)["files"][0]
    keys = ("label", "buffer_size", "largest_occupancy", "access_units", "underflow_units", "overflow_episodes")
    mine = [{k: s[k] for k in keys} for s in window["streams"]]
    theirs = [{k: s[k] for k in keys} for s in verify["streams"]]
    ev_mine = sorted((e["label"], e["type"], e["time"], e["packet_offset"]) for e in window["events"])
    ev_theirs = sorted((s["label"], e["type"], e["time"], e["packet_offset"])
                       for s in verify["streams"] for e in s["events"])
    # The window calls a stream without a modelled stream so; psverify
    # calls it conformant and says that no stream was modelled.
    window_clean = window["verdict"].startswith(("Buffers: conformant", "Buffers: no stream modelled"))
    verdict_ok = window_clean == verify["conformant"] or verify["error"] is not None
    if mine != theirs or ev_mine != ev_theirs or not verdict_ok:
        failed += 1
        print(f"DIFFERS: {stream}\n  window:   {mine} {window['verdict']}\n  psverify: {theirs} "
              f"{verify['conformant']}\n  events: {len(ev_mine)} vs {len(ev_theirs)}")
print(f"{len(streams) - failed} passed, {failed} failed")
sys.exit(1 if failed else 0)
