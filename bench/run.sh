#!/usr/bin/env bash
# make bench: quorvex-cli against the ffmpeg program on the same jobs.
#
#   bash bench/run.sh [BUILD_DIR]        (make bench)
#   QUICK=1 bash bench/run.sh            one run per program on short inputs: a smoke check
#   RUNS=N  bash bench/run.sh            N runs per program and job (default 5)
#   JOBS="remux audio-mp3" bash ...      only the named jobs (scale-* jobs included)
#   INSTRUCTIONS=1 bash bench/run.sh     one run per program under callgrind on the short
#                                        inputs: instruction counts, which the load of a
#                                        shared machine does not disturb
#
# Inputs are made once with the ffmpeg program into BUILD/bench/inputs (inputs-quick for
# QUICK=1) and reused. Every job runs both programs single-threaded (decoding, filtering,
# encoding), alternating which goes first, and each run is measured by bench-measure (wall
# time, user + system CPU time, peak resident memory of the program alone). The table and
# BUILD/bench/results.csv (results-quick.csv) give the medians; BUILD/bench/runs.csv keeps
# every run. The outputs of the last run of both programs are compared with ffprobe, so that
# a job whose settings differ between the two programs shows up instead of passing quietly.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:-build}" && pwd)
cli=$build/bin/quorvex-cli
meter=$build/bin/bench-measure
peer=${PEER:-ffmpeg}

for tool in "$cli" "$meter"; do
  [ -x "$tool" ] || { echo "bench: $tool is missing; run make build first" >&2; exit 1; }
done
for tool in "$peer" ffprobe python3; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is not installed (make deps)" >&2; exit 1; }
done

quick=${QUICK:-0}
instructions=${INSTRUCTIONS:-0}
if [ "$instructions" = 1 ]; then
  command -v valgrind >/dev/null || { echo "bench: INSTRUCTIONS=1 needs valgrind (apt-get install valgrind)" >&2; exit 1; }
  quick=1
fi
if [ "$quick" = 1 ]; then
  runs=${RUNS:-1}
  suffix=-quick
  # input lengths in seconds: remux, audio, video, disc, scale (three)
  len_remux=6 len_audio=30 len_video=2 len_disc=2 len_scale=(1 2 4)
else
  runs=${RUNS:-5}
  suffix=
  len_remux=60 len_audio=300 len_video=20 len_disc=20 len_scale=(10 20 40)
fi

out=$build/bench
inputs=$out/inputs$suffix
work=$out/work$suffix
mkdir -p "$inputs" "$work"

# ---- inputs ---------------------------------------------------------------------------
# Synthetic pictures and sound at realistic bit rates (H.264 about 2.5 Mbit/s at 720p and
# 5 Mbit/s at 1080p); made with all cores, since their making is not measured.

# make_input FILE COMMAND...: runs the command to FILE.tmp.EXT and renames it when it worked.
make_input() {
  local file=$1; shift
  [ -s "$file" ] && return 0
  local tmp="${file%.*}.tmp.${file##*.}"
  echo "bench: making $(basename "$file")"
  "$@" "$tmp" || { rm -f "$tmp"; echo "bench: could not make $file" >&2; exit 1; }
  mv "$tmp" "$file"
}

peer_gen=("$peer" -nostdin -hide_banner -loglevel error -y)
h264_aac() { # SIZE SECONDS OUTPUT
  "${peer_gen[@]}" -f lavfi -i "testsrc2=size=$1:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:beep_factor=4" \
    -t "$2" -c:v libx264 -preset veryfast -crf 23 -pix_fmt yuv420p \
    -c:a aac -b:a 128k -ac 2 "$3"
}
wav() { # SECONDS OUTPUT
  "${peer_gen[@]}" -f lavfi -i "anoisesrc=color=pink:sample_rate=48000:amplitude=0.15:seed=7" \
    -f lavfi -i "sine=frequency=330:sample_rate=48000" \
    -filter_complex "[0][1]amerge=inputs=2,volume=0.8" -t "$1" -c:a pcm_s16le "$2"
}

in_remux=$inputs/h264-aac-720p-${len_remux}s.mkv
in_audio=$inputs/pcm-48k-stereo-${len_audio}s.wav
in_video=$inputs/h264-aac-1080p-${len_video}s.mp4
in_disc=$inputs/h264-aac-720p-${len_disc}s.mp4
make_input "$in_remux" h264_aac 1280x720 "$len_remux"
make_input "$in_audio" wav "$len_audio"
make_input "$in_video" h264_aac 1920x1080 "$len_video"
make_input "$in_disc" h264_aac 1280x720 "$len_disc"
in_scale=()
for s in "${len_scale[@]}"; do
  f=$inputs/h264-aac-1080p-${s}s.mp4
  make_input "$f" h264_aac 1920x1080 "$s"
  in_scale+=("$f")
done

# ---- jobs -----------------------------------------------------------------------------
# One row per job: name, group, runs as a multiple of RUNS, input, output extension, then the
# output options, the same for both programs. The remux job takes a tenth of a second, mostly
# program start-up, so it gets more runs for a steady median. Jobs of one group run in turn
# within each round, so that a change in what else the machine is doing between rounds
# reaches all of them alike: the scale row compares its lengths with each other. The ffmpeg program also gets -threads 1 for each decoder and encoder and one
# thread for its filter graphs; quorvex-cli's codecs run on one thread by default.
dx50=(-vcodec mpeg4 -vtag DX50 -s 1280x720 -acodec libmp3lame -ab 128000)
job_names=() job_groups=() job_runs=() job_inputs=() job_exts=() job_options=()
add_job() { # NAME GROUP RUNS_FACTOR INPUT EXT OPTIONS...
  job_names+=("$1"); job_groups+=("$2"); job_runs+=($(($3 * runs))); job_inputs+=("$4"); job_exts+=("$5")
  shift 5
  job_options+=("$(printf '%q ' "$@")")
}
add_job remux remux 3 "$in_remux" mp4 -vcodec copy -acodec copy
add_job audio-mp3 audio-mp3 1 "$in_audio" mp3 -acodec libmp3lame -ab 128000
add_job audio-aac audio-aac 1 "$in_audio" m4a -acodec aac -ab 128000
# The scale row is the DX50 video job on the three input lengths; the middle one is the
# video job's own input, so its runs serve both.
for i in 0 1 2; do
  if [ "${in_scale[$i]}" = "$in_video" ]; then
    add_job video-dx50 scale 1 "$in_video" avi "${dx50[@]}"
  else
    add_job "scale-${len_scale[$i]}s" scale 1 "${in_scale[$i]}" avi "${dx50[@]}"
  fi
done
add_job video-x264 video-x264 1 "$in_video" mp4 -vcodec libx264 -vpre ultrafast -acodec aac -ab 128000
add_job disc-pal-dvd disc-pal-dvd 1 "$in_disc" mpg -target pal-dvd

# What the ffmpeg program needs for the same settings, where its spelling differs.
# quorvex-cli's "-vpre ultrafast" is the classic libx264-ultrafast preset file, applied over
# libx264's default preset; it is not libx264's own ultrafast preset (that one also turns
# off adaptive quantisation, 4x4 intra partitions and the lookahead, and changes the
# quantiser range). ffmpeg gets the same libx264 parameters spelled its way; the rate
# control is libx264's own default for both (constant quality 23).
x264_ultrafast_file="cabac=0:ref=1:no-deblock=1:partitions=none:me=dia:subme=0:me-range=16"
x264_ultrafast_file+=":trellis=0:8x8dct=0:mixed-refs=0:fast-pskip=1:bframes=0:weightp=0"
x264_ultrafast_file+=":keyint=250:min-keyint=25:scenecut=0:mbtree=0:qcomp=0.6:qpstep=4"
peer_options() { # JOB -> extra output options for ffmpeg, after the shared ones
  case $1 in
    video-x264)
      echo "-qmin 10 -qmax 51 -i_qfactor 0.71 -x264-params $x264_ultrafast_file" ;;
  esac
}
# Options given to quorvex-cli only (ffmpeg gets its own spelling above).
ours_only() { # OPTION -> 0 when quorvex-cli only
  case $1 in -vpre) return 0 ;; esac
  return 1
}

selected() {
  [ -z "${JOBS:-}" ] && return 0
  local j
  for j in $JOBS; do [ "$j" = "$1" ] && return 0; done
  return 1
}

# ---- runs -----------------------------------------------------------------------------
[ "$instructions" = 1 ] && { suffix=-instructions; runs=1; }
runs_csv=$out/runs$suffix.csv
echo "job,program,run,wall_s,user_s,sys_s,peak_kib,exit_status,input_s,instructions" > "$runs_csv"
jobs_csv=$out/jobs$suffix.csv
echo "job,input_s,ours_command,peer_command" > "$jobs_csv"

input_seconds() {
  ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$1" | awk '{printf "%.3f", $1}'
}

# measure JOB PROGRAM RUN INPUT_S COMMAND...
measure() {
  local job=$1 program=$2 run=$3 input_s=$4; shift 4
  local result=$work/$job.$program.result log=$work/$job.$program.log
  local counter=() count=
  if [ "$instructions" = 1 ]; then
    counter=(valgrind --tool=callgrind --callgrind-out-file=/dev/null --log-file="$log.callgrind")
  fi
  "$meter" "$result" "$log" "${counter[@]}" "$@" || { echo "bench: could not measure $job ($program)" >&2; exit 1; }
  local wall user sys peak status
  read -r wall user sys peak status < "$result"
  if [ "$instructions" = 1 ]; then
    count=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$log.callgrind")
  fi
  echo "$job,$program,$run,$wall,$user,$sys,$peak,$status,$input_s,$count" >> "$runs_csv"
  if [ "$status" != 0 ]; then
    echo "bench: $job: $program failed (exit $status); its log: $log" >&2
    tail -n 3 "$log" | sed 's/^/    /' >&2
  fi
  return 0
}

compare_txt=$work/compare.txt
: > "$compare_txt"

# The two commands of each job, quoted for eval.
ours_cmds=() peer_cmds=() input_lengths=()
for j in "${!job_names[@]}"; do
  job=${job_names[$j]}
  input=${job_inputs[$j]}
  eval "options=(${job_options[$j]})"
  peer_opts=()
  for ((k = 0; k < ${#options[@]}; k++)); do
    if ours_only "${options[$k]}"; then k=$((k + 1)); continue; fi
    peer_opts+=("${options[$k]}")
  done
  # shellcheck disable=SC2207
  peer_opts+=($(peer_options "$job"))
  ours=("$cli" -i "$input" "${options[@]}" "$work/$job.ours.${job_exts[$j]}")
  theirs=("$peer" -nostdin -hide_banner -y -filter_threads 1 -filter_complex_threads 1
          -threads 1 -i "$input" -threads 1 "${peer_opts[@]}" "$work/$job.peer.${job_exts[$j]}")
  ours_cmds+=("$(printf '%q ' "${ours[@]}")")
  peer_cmds+=("$(printf '%q ' "${theirs[@]}")")
  input_lengths+=("$(input_seconds "$input")")
  echo "$job,${input_lengths[$j]},\"${ours[*]}\",\"${theirs[*]}\"" >> "$jobs_csv"
done

# run_pair J RUN: one run of each program on job J, the order alternating with the run.
run_pair() {
  local j=$1 run=$2 job=${job_names[$1]}
  local ours theirs
  eval "ours=(${ours_cmds[$j]})"
  eval "theirs=(${peer_cmds[$j]})"
  rm -f "$work/$job.ours.${job_exts[$j]}" "$work/$job.peer.${job_exts[$j]}"
  if ((run % 2)); then
    measure "$job" ours "$run" "${input_lengths[$j]}" "${ours[@]}"
    measure "$job" peer "$run" "${input_lengths[$j]}" "${theirs[@]}"
  else
    measure "$job" peer "$run" "${input_lengths[$j]}" "${theirs[@]}"
    measure "$job" ours "$run" "${input_lengths[$j]}" "${ours[@]}"
  fi
}

[ "$instructions" = 1 ] && for j in "${!job_runs[@]}"; do job_runs[j]=1; done
echo "bench: $runs run(s) per program and job (remux: ${job_runs[0]}); load average now $(cut -d' ' -f1-3 /proc/loadavg)"
done_groups=" "
for g in "${job_groups[@]}"; do
  [[ $done_groups == *" $g "* ]] && continue
  done_groups+="$g "
  members=()
  most=0
  for j in "${!job_names[@]}"; do
    [ "${job_groups[$j]}" = "$g" ] && selected "${job_names[$j]}" || continue
    members+=("$j")
    cat "${job_inputs[$j]}" > /dev/null # into the page cache before the first run
    ((job_runs[j] > most)) && most=${job_runs[j]}
  done
  ((${#members[@]})) || continue
  printf 'bench: %-14s' "$g"
  for ((run = 1; run <= most; run++)); do
    for j in "${members[@]}"; do
      ((run <= job_runs[j])) && run_pair "$j" "$run"
    done
    printf ' %d' "$run"
  done
  echo
  # The two outputs of the last run must agree in what was asked of both programs.
  for j in "${members[@]}"; do
    job=${job_names[$j]}
    ours_out=$work/$job.ours.${job_exts[$j]}
    peer_out=$work/$job.peer.${job_exts[$j]}
    if [ -s "$ours_out" ] && [ -s "$peer_out" ]; then
      python3 "$here/compare.py" "$job" "$ours_out" "$peer_out" >> "$compare_txt"
    fi
  done
done

echo "bench: load average now $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
python3 "$here/report.py" "$runs_csv" "$out/results$suffix.csv" "$compare_txt"
