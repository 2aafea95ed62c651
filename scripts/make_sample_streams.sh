#!/usr/bin/env bash
# Makes the small sample streams in tests/data/ and, for each one, a
# <name>.probe.txt file with the packets ffprobe sees in it.
#
# Every stream is made here from synthetic sources (lavfi testsrc / sine),
# with ffmpeg and mplex (package mjpegtools); nothing is downloaded.  The
# encoders run single-threaded with the bit-exact flags, so a re-run with the
# same tool versions gives the same bytes.
#
# Usage: scripts/make_sample_streams.sh [OUTPUT_DIR]   (default: tests/data)
# Needs: ffmpeg, ffprobe, mplex  (apt-get install -y ffmpeg mjpegtools)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=${1:-"$here/../tests/data"}
mkdir -p "$out"
out=$(cd "$out" && pwd)

for tool in ffmpeg ffprobe mplex; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "make_sample_streams: '$tool' not found (apt-get install -y ffmpeg mjpegtools)" >&2
        exit 1
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }
# Container and codec bit-exact mode, one encoder thread.
exact=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1)
dur=2

video() {  # video SIZE -> lavfi test pattern input options
    echo "-f lavfi -i testsrc=size=$1:rate=25:duration=$dur"
}
tone() {  # tone FREQ RATE -> lavfi sine input options
    echo "-f lavfi -i sine=frequency=$1:sample_rate=$2:duration=$dur"
}

# Writes <stem>.probe.txt beside the stream: the streams and the demuxer
# packets that ffprobe reports, one record a line (see tests/data/README.md).
write_probe() {
    local file=$1 stem probe version
    stem=$(basename "${file%.*}")
    probe="$out/$stem.probe.txt"
    version=$(ffprobe -version | awk 'NR == 1 { print $3 }')
    {
        echo "# $(basename "$file"): streams and packets as ffprobe $version reports them"
        echo "# read with: ffprobe -fflags +noparse+nofillin (one packet per PES packet)"
        echo "# size <file bytes>"
        echo "# stream <index> <id> <codec_name>"
        echo "# packet <stream_index> <pos> <size> <pts> <dts>   (N/A written as -1)"
        echo "size $(stat -c %s "$file")"
        ffprobe -v error -fflags +noparse+nofillin \
                -show_entries stream=index,id,codec_name -of flat "$file" |
            awk -F= '
                /^streams\.stream\.[0-9]+\.(index|id|codec_name)=/ {
                    split($1, k, "."); n = k[3]; key = k[4]
                    v = $2; gsub(/"/, "", v)
                    if (!(n in seen)) { seen[n] = 1; order[++count] = n }
                    val[n, key] = v
                }
                END {
                    for (i = 1; i <= count; i++) {
                        n = order[i]
                        id = val[n, "id"];  if (id == "" || id == "N/A") id = -1
                        cn = val[n, "codec_name"]; if (cn == "") cn = "unknown"
                        print "stream", val[n, "index"], id, cn
                    }
                }'
        ffprobe -v error -fflags +noparse+nofillin -show_packets \
                -show_entries packet=stream_index,pts,dts,pos,size \
                -of compact=p=0 "$file" |
            awk -F'|' '
                NF > 0 {
                    delete f
                    for (i = 1; i <= NF; i++) {
                        eq = index($i, "=")
                        if (eq) f[substr($i, 1, eq - 1)] = substr($i, eq + 1)
                    }
                    for (k in f) if (f[k] == "N/A" || f[k] == "") f[k] = -1
                    print "packet", f["stream_index"], f["pos"], f["size"], f["pts"], f["dts"]
                }'
    } >"$probe"
}

# 1. MPEG-1 system stream from ffmpeg's own multiplexer.
# shellcheck disable=SC2046
ff $(video 320x240) $(tone 440 44100) "${exact[@]}" \
    -c:v mpeg1video -b:v 400k -maxrate 400k -bufsize 327680 -g 12 -bf 2 \
    -c:a mp2 -ac 2 -b:a 128k \
    -f mpeg "$out/mpeg1_ffmpeg.mpg"

# 2. VCD (MPEG-1 system stream, 2324-byte sectors) from mplex, and
# 3. a generic MPEG-1 system stream from mplex with three packets per pack and
#    a system header before every packet.
# shellcheck disable=SC2046
ff $(video 352x288) "${exact[@]}" \
    -c:v mpeg1video -b:v 1150k -minrate 1150k -maxrate 1150k -bufsize 327680 -g 15 -bf 2 \
    -f mpeg1video "$work/vcd.m1v"
# shellcheck disable=SC2046
ff $(tone 440 44100) "${exact[@]}" -ac 2 -c:a mp2 -b:a 224k -f mp2 "$work/vcd.mp2"
mplex -v 0 -f 1 -o "$out/mpeg1_vcd_mplex.mpg" "$work/vcd.m1v" "$work/vcd.mp2"

# shellcheck disable=SC2046
ff $(video 176x144) "${exact[@]}" \
    -c:v mpeg1video -b:v 300k -maxrate 300k -bufsize 327680 -g 12 -bf 2 \
    -f mpeg1video "$work/small.m1v"
# shellcheck disable=SC2046
ff $(tone 550 44100) "${exact[@]}" -ac 1 -c:a mp2 -b:a 64k -f mp2 "$work/small.mp2"
mplex -v 0 -f 0 -h -p 3 -o "$out/mpeg1_generic_mplex.mpg" "$work/small.m1v" "$work/small.mp2"

# 4. MPEG-2 program stream with B-frames from ffmpeg's generic PS multiplexer.
# shellcheck disable=SC2046
ff $(video 352x288) $(tone 440 48000) "${exact[@]}" \
    -c:v mpeg2video -b:v 800k -maxrate 800k -bufsize 1835008 -g 12 -bf 2 \
    -c:a mp2 -ac 2 -b:a 128k \
    -f vob "$out/mpeg2_bframes_ffmpeg.mpg"

# 5. MPEG-2 program stream with two MPEG audio streams (0xC0 and 0xC1).
# shellcheck disable=SC2046
ff $(video 176x144) $(tone 440 48000) $(tone 880 48000) \
    -map 0:v -map 1:a -map 2:a "${exact[@]}" \
    -c:v mpeg2video -b:v 300k -maxrate 300k -bufsize 1835008 -g 12 -bf 2 \
    -c:a mp2 -ac 2 -b:a 64k \
    -f vob "$out/mpeg2_two_audio_ffmpeg.mpg"

# 6. DVD-style program stream from ffmpeg: AC-3 audio in private_stream_1,
#    navigation packets in private_stream_2.  The picture is made smaller
#    than full DVD size to keep the file small.
# shellcheck disable=SC2046
ff $(video 352x288) $(tone 440 48000) "${exact[@]}" \
    -target pal-dvd -s 352x288 -b:v 1500k -maxrate 3000k -bf 2 \
    -c:a ac3_fixed -ac 2 -b:a 192k \
    "$out/dvd_ac3_ffmpeg.vob"

# 7. SVCD-style program stream from ffmpeg (2324-byte packs).
# shellcheck disable=SC2046
ff $(video 480x576) $(tone 440 44100) "${exact[@]}" \
    -target pal-svcd -ac 2 \
    "$out/svcd_ffmpeg.mpg"

# 8. DVD program stream from mplex with navigation packs, MPEG audio (0xC0)
#    and AC-3 audio (private_stream_1, sub-stream 0x80), and
# 9. a generic MPEG-2 program stream from mplex.
# shellcheck disable=SC2046
ff $(video 352x288) "${exact[@]}" \
    -c:v mpeg2video -b:v 1200k -maxrate 3000k -bufsize 1835008 -g 12 -bf 2 \
    -f mpeg2video "$work/dvd.m2v"
# shellcheck disable=SC2046
ff $(tone 440 48000) "${exact[@]}" -ac 2 -c:a mp2 -b:a 192k -f mp2 "$work/dvd.mp2"
# shellcheck disable=SC2046
ff $(tone 660 48000) "${exact[@]}" -ac 2 -c:a ac3_fixed -b:a 192k -f ac3 "$work/dvd.ac3"
mplex -v 0 -f 8 -o "$out/dvd_nav_mplex.vob" "$work/dvd.m2v" "$work/dvd.mp2" "$work/dvd.ac3"
mplex -v 0 -f 3 -o "$out/mpeg2_generic_mplex.mpg" "$work/dvd.m2v" "$work/dvd.mp2"

for f in mpeg1_ffmpeg.mpg mpeg1_vcd_mplex.mpg mpeg1_generic_mplex.mpg \
         mpeg2_bframes_ffmpeg.mpg mpeg2_two_audio_ffmpeg.mpg \
         dvd_ac3_ffmpeg.vob svcd_ffmpeg.mpg dvd_nav_mplex.vob \
         mpeg2_generic_mplex.mpg; do
    write_probe "$out/$f"
done

echo "sample streams written to $out:"
ls -l "$out"
