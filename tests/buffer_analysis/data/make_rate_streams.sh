#!/usr/bin/env bash
# Makes the two mplex streams of the buffer replay tests from one content:
# 2 s of noisy 176x144 MPEG-2 video (about 600 kbit/s) and 128 kbit/s MP2,
# multiplexed by mplex at 2500 kbit/s (mplex reports "no under-runs
# detected") and at 2000 kbit/s (mplex reports "Frame data under-runs
# detected!").  The encoders run bit-exact, so a re-run with ffmpeg 5.1 and
# mjpegtools 2.1 (Debian 12) gives the same files.
#
# Usage: make_rate_streams.sh [OUTPUT_DIR]   (default: this directory)
set -euo pipefail
out=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }
ff -f lavfi -i testsrc2=size=176x144:rate=25:duration=2 -vf "noise=alls=40:allf=t" \
   -fflags +bitexact -flags:v +bitexact -threads 1 \
   -c:v mpeg2video -b:v 600k -minrate 600k -maxrate 600k -bufsize 1835008 -g 12 -bf 2 \
   -f mpeg2video "$work/v.m2v"
ff -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -fflags +bitexact -flags:a +bitexact \
   -c:a mp2 -ac 2 -b:a 128k -f mp2 "$work/a.mp2"
mplex -v 1 -f 3 -r 2500 -o "$out/enough_rate_mplex.mpg" "$work/v.m2v" "$work/a.mp2" 2>&1 | grep "MUX STATUS"
mplex -v 1 -f 3 -r 2000 -o "$out/low_rate_mplex.mpg" "$work/v.m2v" "$work/a.mp2" 2>&1 | grep "MUX STATUS"
