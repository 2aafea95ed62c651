#!/usr/bin/env bash
# Makes transport streams for checking psverify's T-STD model
# (ISO/IEC 13818-1 2.4.2) against outside readers, from lavfi test sources
# (8 s of testsrc and sine), and writes OUTDIR/manifest.tsv, one line a
# stream, tab-separated:
#
#   file  muxer  video  audio  muxrate_bps  late_warnings
#
# muxer is ffmpeg or gstreamer; muxrate_bps is the multiplex rate asked of
# the muxer, 0 for its default (ffmpeg and GStreamer then write a variable
# rate, PCRs from the DTS, no null packets); late_warnings is the number of
# "dts < pcr, TS is invalid" warnings ffmpeg printed while muxing the stream
# (a PES packet would leave the muxer after its own decoding time: the rate
# is too low for the content; 0 for the stream GStreamer muxes).  Beside each stream, NAME.ffprobe.json holds
# `ffprobe -show_packets -show_streams` of it (NAME is the whole file name).
#
# The streams:
#   mpeg2_mp2_<rate>.ts   MPEG-2 video MP@ML (720x576 25 fps, constant
#                         4 Mbit/s, vbv_buffer_size 112 x 16 kbit) + MP2
#                         192 kbit/s, at a ladder of multiplex rates from
#                         below the content's rate (about 4.3 Mbit/s in
#                         packets) to generous, and ffmpeg's default
#   h264_aac_<rate>.ts    H.264 Main@4.0 (720x576 25 fps, constant
#                         4 Mbit/s, NAL HRD in the SPS, cpb 3 Mbit) + AAC
#                         LC 128 kbit/s (ADTS), the same ladder
#   mpeg2_mp2_m2ts_10000k.m2ts  the MPEG-2 + MP2 content in 192-byte packets;
#                         in this mode ffmpeg takes PIDs 0x100 (PMT),
#                         0x1011 and 0x1100 and gives MP2 stream_type 0x06
#   mpeg2_mp2_m2ts_10000k.ts    the same file with the 4-byte arrival time
#                         stamp cut from each packet: the same 188-byte
#                         packets, so both must get the same verdict
#   mpeg2_ac3_10000k.ts   the MPEG-2 video + AC-3 192 kbit/s
#   two_programs_12000k.ts  both contents as two programs, each with its
#                         own PCR PID
#   gst_h264_aac.ts       the H.264 + AAC content muxed by GStreamer's
#                         mpegtsmux at its default rate (left out, with a
#                         note on standard error, when gst-launch-1.0 or
#                         one of its elements is missing)
# The elementary streams are encoded once; every multiplex copies them, so
# the content is the same down each ladder.  Encoders run single-threaded
# with the bit-exact flags: the same tool versions make the same bytes.
#
# Usage: tests/ts/make_tstd_streams.sh OUTDIR
# Needs: ffmpeg, ffprobe, python3; for the GStreamer stream gst-launch-1.0
# (apt-get install -y gstreamer1.0-tools gstreamer1.0-plugins-base
#  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad)
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
for tool in ffmpeg ffprobe python3; do
    command -v "$tool" >/dev/null 2>&1 || { echo "make_tstd_streams: '$tool' not found" >&2; exit 1; }
done
mkdir -p "$1"
out=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ladder=(3600000 3900000 4000000 4200000 5000000 6000000 8000000 10000000)
seconds=8
exact=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1)
manifest="$work/manifest.tsv"
: >"$manifest"

# run LOG COMMAND...: COMMAND with its standard error in LOG, shown on failure.
run() {
    local log=$1
    shift
    if ! "$@" 2>"$log"; then
        echo "make_tstd_streams: failed: $*" >&2
        cat "$log" >&2
        exit 1
    fi
}

# --- the elementary streams, encoded once -----------------------------------
sources=(-f lavfi -i "testsrc=size=720x576:rate=25:duration=$seconds"
         -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds")
run "$work/enc.log" ffmpeg -hide_banner -nostdin -loglevel error -y "${sources[@]}" \
    -map 0:v -map 1:a -map 1:a "${exact[@]}" -pix_fmt yuv420p \
    -c:v mpeg2video -profile:v main -level:v main -b:v 4M -minrate 4M -maxrate 4M \
    -bufsize 1835008 -g 12 -bf 2 \
    -c:a:0 mp2 -b:a:0 192k -c:a:1 ac3 -b:a:1 192k -f nut "$work/mpeg2.nut"
run "$work/enc.log" ffmpeg -hide_banner -nostdin -loglevel error -y "${sources[@]}" \
    -map 0:v -map 1:a "${exact[@]}" -pix_fmt yuv420p \
    -c:v libx264 -preset veryfast -profile:v main -level 4.0 -b:v 4M -minrate 4M -maxrate 4M \
    -bufsize 3M -x264-params nal-hrd=cbr -g 50 -bf 2 \
    -c:a aac -b:a 128k -f nut "$work/h264.nut"

# mux FILE VIDEO AUDIO RATE INPUT [OPTION...]: ffmpeg's mpegts muxer copies
# INPUT's streams into OUTDIR/FILE (RATE 0: its default rate) and the
# stream's line goes into the manifest.
mux() {
    local file=$1 video=$2 audio=$3 rate=$4 input=$5 log="$work/$1.log"
    shift 5
    local muxrate=()
    [ "$rate" -eq 0 ] || muxrate=(-muxrate "$rate")
    # "repeat": each warning on its own line, not "Last message repeated N times"
    run "$log" ffmpeg -hide_banner -nostdin -loglevel repeat+warning -y -i "$input" "$@" \
        -c copy -fflags +bitexact "${muxrate[@]}" -f mpegts "$out/$file"
    printf '%s\tffmpeg\t%s\t%s\t%s\t%s\n' "$file" "$video" "$audio" "$rate" \
        "$(grep -c 'dts < pcr, TS is invalid' "$log" || true)" >>"$manifest"
}

for rate in "${ladder[@]}" 0; do
    name=$([ "$rate" -eq 0 ] && echo default || echo "$((rate / 1000))k")
    mux "mpeg2_mp2_$name.ts" mpeg2video mp2 "$rate" "$work/mpeg2.nut" -map 0:v -map 0:a:0
done
for rate in "${ladder[@]}" 0; do
    name=$([ "$rate" -eq 0 ] && echo default || echo "$((rate / 1000))k")
    mux "h264_aac_$name.ts" h264 aac "$rate" "$work/h264.nut" -map 0:v -map 0:a
done

mux mpeg2_mp2_m2ts_10000k.m2ts mpeg2video mp2 10000000 "$work/mpeg2.nut" \
    -map 0:v -map 0:a:0 -mpegts_m2ts_mode 1
python3 - "$out/mpeg2_mp2_m2ts_10000k.m2ts" "$out/mpeg2_mp2_m2ts_10000k.ts" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
if len(data) % 192 or any(data[i + 4] != 0x47 for i in range(0, len(data), 192)):
    sys.exit("make_tstd_streams: %s is not made of 192-byte packets" % sys.argv[1])
with open(sys.argv[2], "wb") as f:
    f.write(b"".join(data[i + 4:i + 192] for i in range(0, len(data), 192)))
EOF
twin=$(tail -n 1 "$manifest")
printf '%s\n' "${twin/.m2ts/.ts}" >>"$manifest"

mux mpeg2_ac3_10000k.ts mpeg2video ac3 10000000 "$work/mpeg2.nut" -map 0:v -map 0:a:1
# Two programs, each with its own PCR PID: MPEG-2 + MP2 and H.264 + AAC.
mux two_programs_12000k.ts mpeg2video+h264 mp2+aac 12000000 "$work/mpeg2.nut" -i "$work/h264.nut" \
    -map 0:v -map 0:a:0 -map 1:v -map 1:a \
    -program program_num=1:st=0:st=1 -program program_num=2:st=2:st=3

# --- GStreamer --------------------------------------------------------------
gst=gst_h264_aac.ts
rm -f "$out/$gst" "$out/$gst.ffprobe.json"
missing=""
if ! command -v gst-launch-1.0 >/dev/null 2>&1 || ! command -v gst-inspect-1.0 >/dev/null 2>&1; then
    missing=" gst-launch-1.0"
else
    for element in filesrc qtdemux queue h264parse aacparse mpegtsmux filesink; do
        gst-inspect-1.0 "$element" >/dev/null 2>&1 || missing="$missing $element"
    done
fi
if [ -n "$missing" ]; then
    echo "make_tstd_streams: note: no GStreamer stream ($gst), missing:$missing" \
         "(apt-get install -y gstreamer1.0-tools gstreamer1.0-plugins-base" \
         "gstreamer1.0-plugins-good gstreamer1.0-plugins-bad)" >&2
else
    # MP4 keeps the encoder's time stamps (90 kHz) for qtdemux.
    run "$work/gst.log" ffmpeg -hide_banner -nostdin -loglevel error -y -i "$work/h264.nut" \
        -map 0 -c copy -fflags +bitexact -video_track_timescale 90000 "$work/h264.mp4"
    if gst-launch-1.0 -q filesrc location="$work/h264.mp4" ! qtdemux name=d \
        d.video_0 ! queue ! h264parse ! mux. \
        d.audio_0 ! queue ! aacparse ! mux. \
        mpegtsmux name=mux ! filesink location="$out/$gst" >"$work/gst.log" 2>&1; then
        printf '%s\tgstreamer\th264\taac\t0\t0\n' "$gst" >>"$manifest"
    else
        rm -f "$out/$gst"
        echo "make_tstd_streams: note: no GStreamer stream ($gst), gst-launch-1.0 failed:" >&2
        cat "$work/gst.log" >&2
    fi
fi

# --- ffprobe's packets ------------------------------------------------------
while IFS=$'\t' read -r file _; do
    run "$work/probe.log" ffprobe -v error -show_packets -show_streams -of json "$out/$file" \
        >"$out/$file.ffprobe.json"
done <"$manifest"
mv "$manifest" "$out/manifest.tsv"
