#!/usr/bin/env bash
# Makes the small media files the tests use, with the Debian ffmpeg program, into the
# folder given as the first argument. Everything is a few seconds long.
set -euo pipefail
out=${1:?usage: make-fixtures.sh FOLDER}
script=$(realpath "$0")
mkdir -p "$out"
cd "$out"
# Made again whenever this script changes.
stamp=$(md5sum "$script" | cut -d' ' -f1)
[ "$(cat .complete 2>/dev/null)" = "$stamp" ] && exit 0

ff() { ffmpeg -nostdin -v error -y "$@"; }
video="testsrc2=size=320x240:rate=25:duration=3"
tone="sine=frequency=440:sample_rate=44100:duration=3"
tone48="sine=frequency=1000:sample_rate=48000:duration=3"

# Video with audio in several containers and codecs.
ff -f lavfi -i "$video" -f lavfi -i "$tone" -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest av_h264_aac.mkv
ff -f lavfi -i "$video" -f lavfi -i "$tone" -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest av_h264_aac.mp4
ff -f lavfi -i "$video" -f lavfi -i "$tone" -c:v mpeg4 -c:a libmp3lame -shortest av_mpeg4_mp3.avi
ff -f lavfi -i "$video" -f lavfi -i "$tone" -c:v mpeg2video -c:a mp2 -shortest av_mpeg2_mp2.ts
ff -f lavfi -i "$video" -f lavfi -i "$tone" -c:v libvpx -deadline realtime -cpu-used 8 -c:a libvorbis -shortest av_vp8_vorbis.webm
ff -f lavfi -i "$video" -c:v mjpeg video_only.avi

# Audio only.
ff -f lavfi -i "$tone" audio.wav
ff -f lavfi -i "$tone" -c:a libmp3lame -b:a 128k -metadata artist="Quorvex Test" -metadata title="Tone" audio.mp3
ff -f lavfi -i "$tone48" -ac 2 -c:a flac audio_stereo48.flac

# Two audio streams, and a subtitle stream.
ff -f lavfi -i "$video" -f lavfi -i "$tone" -f lavfi -i "$tone48" -map 0:v -map 1:a -map 2:a \
   -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest two_audio.mkv
cat > subs.srt <<'SRT'
1
00:00:00,500 --> 00:00:01,500
Hello

2
00:00:01,800 --> 00:00:02,800
World
SRT
ff -f lavfi -i "$video" -f lavfi -i "$tone" -i subs.srt -map 0:v -map 1:a -map 2:s \
   -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -c:s srt -shortest with_subtitle.mkv

# A corrupt file: the first part of a good one, and a file that is not media at all.
head -c 20000 av_h264_aac.mp4 > truncated.mp4
printf 'This is plain text, not a media file.\n' > not_media.mp4

# A second, different video: smaller, 30 fps, mono 22050 Hz audio.
ff -f lavfi -i "testsrc2=size=176x144:rate=30:duration=2" -f lavfi -i "sine=frequency=300:sample_rate=22050:duration=2" \
   -ac 1 -c:v mpeg4 -c:a aac -shortest av_small_30fps.mp4

# Longer clips: 8 s of small video with audio; and an MPEG-TS whose timestamps jump
# forward by 30 s in the middle (two parts joined byte by byte).
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=8" -f lavfi -i "sine=frequency=500:sample_rate=44100:duration=8" \
   -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -c:a aac -shortest long_h264_aac.mkv
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=2" -f lavfi -i "sine=sample_rate=44100:duration=2" \
   -c:v mpeg2video -c:a mp2 -shortest part1.ts
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=2" -f lavfi -i "sine=sample_rate=44100:duration=2" \
   -c:v mpeg2video -c:a mp2 -shortest -output_ts_offset 30 part2.ts
cat part1.ts part2.ts > ts_jump.ts
rm -f part1.ts part2.ts

# A transport stream cut right after its tables: a video stream that reports no size.
ff -f lavfi -i "testsrc2=size=160x120:duration=1" -c:v mpeg2video -f mpegts whole.ts
head -c 564 whole.ts > no_size_video.ts
rm -f whole.ts

# A raw H.264 elementary stream: no container, so no seeking by time.
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=2" -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f h264 video.h264

# Output path fixtures.
# Stereo 44100 Hz and 5.1 48000 Hz tones (a different pitch per channel), as PCM.
ff -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2" -f lavfi -i "sine=frequency=660:sample_rate=44100:duration=2" \
   -filter_complex "[0][1]amerge=inputs=2" -c:a pcm_s16le stereo44.wav
ff -f lavfi -i "sine=frequency=300:sample_rate=48000:duration=2" -filter_complex \
   "[0]asplit=6[a][b][c][d][e][f];[a][b][c][d][e][f]amerge=inputs=6,channelmap=channel_layout=5.1" \
   -c:a pcm_s16le surround51.wav
# Video whose audio starts 0.5 s after the picture.
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=3" -c:v mpeg4 late_video.avi
ff -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2.5" -c:a pcm_s16le late_audio.wav
ff -i late_video.avi -itsoffset 0.5 -i late_audio.wav -map 0:v -map 1:a -c copy late_audio.mkv
rm -f late_video.avi late_audio.wav
# 25 fps video whose timestamps skip three frame durations after the first second.
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=3" -vf "setpts=PTS+gte(N\,25)*3/(25*TB)" \
   -c:v libx264 -preset ultrafast -pix_fmt yuv420p -enc_time_base 1/1000 -fps_mode passthrough ts_gap.mkv
# A stream whose picture size changes mid-way: 320x240 for 1 s, then 160x120 for 1 s.
ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=1" -c:v mpeg2video -q:v 3 size_a.ts
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=1" -c:v mpeg2video -q:v 3 -output_ts_offset 1.04 size_b.ts
cat size_a.ts size_b.ts > size_change.ts
rm -f size_a.ts size_b.ts
# Pictures with known colours: red above row 40 and blue below; red left, blue right.
ff -f lavfi -i "color=c=blue:s=320x240:r=25:d=1,drawbox=x=0:y=0:w=320:h=40:c=red:t=fill" \
   -c:v mpeg4 -q:v 2 red_top.avi
ff -f lavfi -i "color=c=blue:s=320x240:r=25:d=1,drawbox=x=0:y=0:w=160:h=240:c=red:t=fill" \
   -c:v mpeg4 -q:v 2 red_left.avi
# One second of small video for the preset runs.
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=1" -c:v mpeg4 -q:v 3 one_second.avi

# Probe: tags of several kinds (ID3v2 frames, raw frame keys in Matroska tags), a 29.97
# frames-per-second video with a recording time, a stream whose only tag is its language.
tone1="sine=frequency=440:sample_rate=44100:duration=1"
ff -f lavfi -i "$tone1" -c:a libmp3lame -b:a 64k -id3v2_version 3 -metadata TPE1="Quorvex Artist" \
   -metadata title="Tagged Tone" -metadata album="Fixtures" -metadata genre="Test" -metadata date=2009 \
   -metadata track=3/12 -metadata comment="made for tests" -metadata copyright="Nobody" tagged.mp3
ff -f lavfi -i "$tone1" -c:a flac -metadata TPE1="Raw Key Artist" -metadata TIT2="Raw Key Title" \
   -metadata XQVX="kept as is" raw_keys.mkv
ff -f lavfi -i "testsrc2=size=160x120:rate=30000/1001:duration=1" -c:v mpeg4 \
   -metadata creation_time=2020-01-02T03:04:05Z ntsc_2997.mp4
ff -f lavfi -i "$tone1" -c:a mp2 -metadata:s:a:0 language=eng lang_only.ts

echo "$stamp" > .complete
