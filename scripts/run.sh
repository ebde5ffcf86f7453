#!/usr/bin/env bash
# `make run`: starts Quorvex. Until the application window exists it converts a generated
# sample with the command-line converter and says where the result is.
set -euo pipefail
build=${1:-build}
if [ -x "$build/bin/quorvex" ]; then
  exec bash scripts/with-display.sh "$build/bin/quorvex"
fi
if [ -x "$build/bin/quorvex-cli" ]; then
  out=$build/run
  mkdir -p "$out"
  ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25:duration=3 \
         -f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 \
         -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$out/sample.mkv"
  "$build/bin/quorvex-cli" -i "$out/sample.mkv" -vcodec copy -acodec copy "$out/sample.mp4"
  echo "Converted $out/sample.mkv to $(realpath "$out/sample.mp4")"
  exit 0
fi
echo "Quorvex has no runnable program yet: the converter and the application are still being built." >&2
echo "Run 'make test' to build the libraries and run the test suite." >&2
exit 1
