#!/usr/bin/env python3
"""Compares the outputs of the two programs for one benchmark job.

    compare.py JOB OURS_FILE PEER_FILE

Prints one line: "JOB: same settings" or "JOB: differs: ..." listing what was asked of both
programs and came out differently (container, codecs, tags, sizes, frame and sample rates,
channels, durations beyond half a second, stream bit rates beyond 15 %, and the libx264
settings that the encoder writes into its stream). A benchmark of two programs doing
different work would measure nothing, so the report shows these lines beside the table.
"""
import json
import re
import subprocess
import sys

STREAM_KEYS = ["codec_type", "codec_name", "codec_tag_string", "profile", "width", "height", "pix_fmt",
               "r_frame_rate", "sample_rate", "channels", "sample_fmt"]
BIT_RATE_TOLERANCE = 0.15
DURATION_TOLERANCE_S = 0.5
# libx264 settings that name the build or the file, not the work asked for.
X264_IGNORED = {"threads", "lookahead_threads", "sliced_threads", "stitchable"}


def probe(path):
    info = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json", path],
        check=True, capture_output=True, text=True).stdout)
    packets = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries", "packet=stream_index,size", "-of", "csv=p=0", path],
        check=True, capture_output=True, text=True).stdout
    bytes_by_stream = {}
    for line in packets.split():
        index, size = line.split(",")[:2]
        bytes_by_stream[int(index)] = bytes_by_stream.get(int(index), 0) + int(size)
    return info, bytes_by_stream


def x264_settings(path):
    with open(path, "rb") as f:
        data = f.read(4 << 20)
    found = re.search(rb"x264 - core \d+.*? options: ([^\x00]*)", data)
    if not found:
        return None
    settings = {}
    for item in found.group(1).decode("latin-1").split():
        key, _, value = item.partition("=")
        if key not in X264_IGNORED:
            settings[key] = value
    return settings


def main():
    job, ours_path, peer_path = sys.argv[1:4]
    ours, ours_bytes = probe(ours_path)
    peer, peer_bytes = probe(peer_path)
    differences = []

    if ours["format"]["format_name"] != peer["format"]["format_name"]:
        differences.append(f"container {ours['format']['format_name']} vs {peer['format']['format_name']}")
    ours_duration = float(ours["format"].get("duration", 0))
    peer_duration = float(peer["format"].get("duration", 0))
    if abs(ours_duration - peer_duration) > DURATION_TOLERANCE_S:
        differences.append(f"duration {ours_duration:.2f} s vs {peer_duration:.2f} s")

    ours_streams, peer_streams = ours["streams"], peer["streams"]
    if [s["codec_type"] for s in ours_streams] != [s["codec_type"] for s in peer_streams]:
        differences.append("streams " + "+".join(s["codec_type"] for s in ours_streams) + " vs " +
                           "+".join(s["codec_type"] for s in peer_streams))
    else:
        for a, b in zip(ours_streams, peer_streams):
            kind = a["codec_type"]
            for key in STREAM_KEYS:
                if a.get(key) != b.get(key):
                    differences.append(f"{kind} {key} {a.get(key)} vs {b.get(key)}")
            duration = min(ours_duration, peer_duration)
            if duration > 0:
                rate_a = ours_bytes.get(a["index"], 0) * 8 / duration / 1000
                rate_b = peer_bytes.get(b["index"], 0) * 8 / duration / 1000
                if rate_b > 0 and abs(rate_a / rate_b - 1) > BIT_RATE_TOLERANCE:
                    differences.append(f"{kind} bit rate {rate_a:.0f} vs {rate_b:.0f} kbit/s")

    ours_x264, peer_x264 = x264_settings(ours_path), x264_settings(peer_path)
    if ours_x264 is not None or peer_x264 is not None:
        if ours_x264 is None or peer_x264 is None:
            differences.append("libx264 settings only in one output")
        else:
            for key in sorted(set(ours_x264) | set(peer_x264)):
                if ours_x264.get(key) != peer_x264.get(key):
                    differences.append(f"x264 {key}={ours_x264.get(key)} vs {peer_x264.get(key)}")

    if differences:
        print(f"{job}: differs (ours vs ffmpeg): " + "; ".join(differences))
    else:
        print(f"{job}: same settings")


if __name__ == "__main__":
    main()
