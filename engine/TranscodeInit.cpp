// Transcode initialisation: the working tables, the stream mapping, codec parameters
// for copied and re-encoded streams, two-pass files, opening the codecs, metadata,
// chapters, the headers and the mapping report.
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/time.h>
}

#include "platform/TextFormat.h"
#include "runtime/LibraryErrors.h"
#include "engine/FFmpeg.h"
#include "engine/Transcode.h"
#include "platform/Exceptions.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"

namespace qv {

namespace {


// The output entries that are distinct muxers (join mode repeats one).
std::vector<int> DistinctOutputs(const std::vector<AVFormatContext*>& outputs, int count)
{
    std::vector<int> distinct;
    for (int i = 0; i < count; ++i) {
        bool seen = false;
        for (int j : distinct)
            seen = seen || outputs[j] == outputs[i];
        if (!seen)
            distinct.push_back(i);
    }
    return distinct;
}

// Creates the stream's bitstream filter chain from "name" or "name=options" entries,
// fed with the stream's current parameters; the stream takes the chain's output.
void CreateBitstreamFilters(TOutputStream& ost, const std::vector<std::string>& names)
{
    const AVCodecParameters* input = ost.st->codecpar;
    AVRational timeBase = ost.st->time_base;
    for (const std::string& entry : names) {
        const std::string name = entry.substr(0, entry.find('='));
        const AVBitStreamFilter* filter = av_bsf_get_by_name(name.c_str());
        AVBSFContext* context = nullptr;
        if (filter == nullptr || av_bsf_alloc(filter, &context) < 0)
            throw FFmpegException("Unknown bitstream filter " + name);
        ost.bitstreamFilters.push_back(context);
        avcodec_parameters_copy(context->par_in, input);
        context->time_base_in = timeBase;
        if (const size_t eq = entry.find('='); eq != std::string::npos && context->priv_data)
            av_set_options_string(context->priv_data, entry.c_str() + eq + 1, "=", ":");
        const int result = av_bsf_init(context);
        if (result < 0)
            throw FFmpegException(name + " failed for stream " + std::to_string(ost.index) + ", codec " +
                                  avcodec_get_name(input->codec_id) + ": " + LibraryErrorText(result));
        input = context->par_out;
        timeBase = context->time_base_out;
    }
    if (!ost.bitstreamFilters.empty()) {
        avcodec_parameters_copy(ost.st->codecpar, input);
        ost.st->time_base = timeBase;
    }
}

} // namespace

TTranscodeRun::~TTranscodeRun()
{
    for (TOutputStream& ost : outputs) {
        for (AVBSFContext*& filter : ost.bitstreamFilters)
            av_bsf_free(&filter);
        sws_freeContext(ost.sws);
        av_frame_free(&ost.tmpFrame);
        avfilter_graph_free(&ost.filterGraph);
        swr_free(&ost.swr);
        if (ost.fifo)
            av_audio_fifo_free(ost.fifo);
        av_frame_free(&ost.audioFrame);
        av_packet_free(&ost.heldSubtitleClear);
        if (ost.passLogFile)
            std::fclose(ost.passLogFile);
        if (ost.enc && ost.enc->stats_in) {
            av_freep(&ost.enc->stats_in);
        }
    }
    av_frame_free(&decodedFrame);
    av_frame_free(&filteredFrame);
    av_packet_free(&encodedPacket);
}

void TCustomFFmpeg::TranscodeMain()
{
    TTranscodeRun run;
    TranscodeInit(run);
    TranscodeLoop(run);
    TranscodeEnd(run);
}

void TCustomFFmpeg::MappingReport(TTranscodeRun& run)
{
    for (int i : DistinctOutputs(outputFiles_, nbOutputFiles_))
        av_dump_format(outputFiles_[i], i, outputFiles_[i]->url, 1);
    if (options_.verbose < 0)
        return;
    Logger().Log(this, llVerbose, "Stream mapping:");
    for (const TOutputStream& ost : run.outputs) {
        if (ost.sourceIndex < 0)
            continue;
        const TInputStream& source = run.inputs[ost.sourceIndex];
        std::string line = FormatText("  Stream #%d.%d -> #%d.%d (%s)", source.fileIndex, source.streamIndex,
                                  joinMode_ ? 0 : ost.fileIndex, ost.index,
                                  MediaKindName(ost.st->codecpar->codec_type));
        if (ost.syncIndex != ost.sourceIndex && ost.syncIndex >= 0) {
            const TInputStream& sync = run.inputs[ost.syncIndex];
            line += FormatText(" [sync #%d.%d (%s)]", sync.fileIndex, sync.streamIndex,
                           MediaKindName(sync.st->codecpar->codec_type));
        }
        Logger().Log(this, llVerbose, line);
    }
}

void TCustomFFmpeg::TranscodeInit(TTranscodeRun& run)
{
    TOptionState& o = options_;

    // 1. Input tables.
    for (int f = 0; f < nbInputFiles_; ++f) {
        AVFormatContext* input = inputFiles_[f];
        TInputFileState file;
        file.firstStream = static_cast<int>(run.inputs.size());
        file.nbStreams = std::min<int>(input->nb_streams, MAX_STREAMS);
        run.files.push_back(file);
        for (int s = 0; s < file.nbStreams; ++s) {
            TInputStream ist;
            ist.fileIndex = f;
            ist.streamIndex = s;
            ist.st = input->streams[s];
            ist.dec = inputStreamCodecs_[f][s];
            if (o.rateEmu)
                ist.start_us = av_gettime();
            run.inputs.push_back(ist);
        }
    }
    run.noPacket.assign(nbInputFiles_, false);

    // 2. Output stream count and the stream maps.
    int totalStreams = 0;
    for (int i = 0; i < nbOutputFiles_; ++i) {
        if (outputFiles_[i]->nb_streams == 0) {
            av_dump_format(outputFiles_[i], i, outputFiles_[i]->url, 1);
            throw FFmpegException(FormatText("Output file #%d does not contain any stream", i));
        }
        totalStreams += outputFiles_[i]->nb_streams;
    }
    if (!streamMaps_.empty() && static_cast<int>(streamMaps_.size()) != totalStreams)
        throw FFmpegException("Number of stream maps must match number of output streams");
    for (const TStreamMap& map : streamMaps_) {
        if (map.fileIndex < 0 || map.fileIndex >= nbInputFiles_ || map.streamIndex < 0 ||
            map.streamIndex >= run.files[map.fileIndex].nbStreams)
            throw FFmpegException(FormatText("Could not find input stream #%d.%d", map.fileIndex, map.streamIndex));
        if (map.syncFileIndex < 0 || map.syncFileIndex >= nbInputFiles_ || map.syncStreamIndex < 0 ||
            map.syncStreamIndex >= run.files[map.syncFileIndex].nbStreams)
            throw FFmpegException(
                FormatText("Could not find sync stream #%d.%d", map.syncFileIndex, map.syncStreamIndex));
    }
    run.groupSize = static_cast<int>(outputFiles_[0]->nb_streams);

    // 3. Output stream states.
    for (int i = 0; i < nbOutputFiles_; ++i) {
        AVFormatContext* output = outputFiles_[i];
        const int owner = joinMode_ ? 0 : i; // where the stream set-up lives
        for (unsigned s = 0; s < output->nb_streams; ++s) {
            TOutputStream ost;
            ost.fileIndex = i;
            ost.index = static_cast<int>(s);
            ost.st = output->streams[s];
            ost.muxer = output;
            ost.enc = outputStreamCodecs_[owner][s];
            ost.setup = &outputStreamSetup_[owner][s];
            run.outputs.push_back(ost);
        }
    }

    // 4. Mapping.
    for (size_t n = 0; n < run.outputs.size(); ++n) {
        TOutputStream& ost = run.outputs[n];
        const AVMediaType kind = ost.enc->codec_type;
        int source = -1;
        if (!streamMaps_.empty()) {
            const TStreamMap& map = streamMaps_[n];
            source = run.files[map.fileIndex].firstStream + map.streamIndex;
            const AVMediaType inputKind = run.inputs[source].st->codecpar->codec_type;
            if (inputKind != kind) {
                av_dump_format(ost.muxer, ost.fileIndex, ost.muxer->url, 1);
                throw FFmpegException(FormatText("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)",
                                             map.fileIndex, map.streamIndex, MediaKindName(inputKind), ost.fileIndex,
                                             ost.index, MediaKindName(kind)));
            }
            ost.syncIndex = run.files[map.syncFileIndex].firstStream + map.syncStreamIndex;
        } else {
            int bestFrames = -1;
            for (size_t j = 0; j < run.inputs.size(); ++j) {
                const TInputStream& ist = run.inputs[j];
                if (o.optProgramId != 0) {
                    const AVProgram* program =
                        av_find_program_from_stream(inputFiles_[ist.fileIndex], nullptr, ist.streamIndex);
                    bool inProgram = false;
                    for (; program; program = av_find_program_from_stream(inputFiles_[ist.fileIndex],
                                                                           const_cast<AVProgram*>(program),
                                                                           ist.streamIndex))
                        inProgram = inProgram || program->id == o.optProgramId;
                    if (!inProgram)
                        continue;
                }
                if (!ist.discard || ist.st->discard == AVDISCARD_ALL || ist.st->codecpar->codec_type != kind)
                    continue;
                if (joinMode_ && ist.fileIndex != ost.fileIndex)
                    continue;
                // The stream-information probe's frame count is internal to the library
                // now; its own choice of the best stream of a file ranks by it.
                const int frames =
                    av_find_best_stream(inputFiles_[ist.fileIndex], kind, -1, -1, nullptr, 0) == ist.streamIndex ? 1 : 0;
                if (frames > bestFrames) {
                    bestFrames = frames;
                    source = static_cast<int>(j);
                }
            }
            if (source < 0 && o.optProgramId == 0 && !joinMode_) {
                for (size_t j = 0; j < run.inputs.size(); ++j) {
                    const TInputStream& ist = run.inputs[j];
                    if (ist.st->codecpar->codec_type == kind && ist.st->discard != AVDISCARD_ALL)
                        source = static_cast<int>(j);
                }
            }
            if (source < 0) {
                av_dump_format(ost.muxer, ost.fileIndex, ost.muxer->url, 1);
                throw FFmpegException(FormatText("Could not find input stream matching output stream #%d.%d (%s)",
                                             ost.fileIndex, ost.index, MediaKindName(kind)));
            }
            ost.syncIndex = source;
        }
        ost.sourceIndex = source;
        run.inputs[source].discard = false;
        ost.active = true;
    }

    // 5. Codec parameters. In join mode the later groups share the first group's streams.
    int outputStreamNumber = 0;
    for (TOutputStream& ost : run.outputs) {
        const int streamNumber = outputStreamNumber++;
        if (joinMode_ && ost.fileIndex > 0)
            continue;
        TInputStream& ist = run.inputs[ost.sourceIndex];
        AVCodecParameters* in = ist.st->codecpar;
        AVCodecParameters* out = ost.st->codecpar;
        av_dict_copy(&ost.st->metadata, ist.st->metadata, AV_DICT_DONT_OVERWRITE);
        ost.st->disposition = ist.st->disposition;
        ost.enc->bits_per_raw_sample = in->bits_per_raw_sample;
        ost.enc->chroma_sample_location = in->chroma_location;

        if (ost.setup->streamCopy) {
            if (static_cast<int64_t>(in->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE > INT32_MAX)
                throw FFmpegException("icodec.extradata_size is invalid (too large)");
            const uint32_t ownTag = ost.enc->codec_tag;
            if (avcodec_parameters_copy(out, in) < 0)
                throw FFmpegException("av_mallocz fail");
            // The codec tag: ours if set; else the input's when the container maps it to
            // the same codec or has no tag of its own for the codec.
            const AVCodecTag* const* tags = ost.muxer->oformat->codec_tag;
            if (ownTag)
                out->codec_tag = ownTag;
            else if (tags && !(av_codec_get_id(tags, in->codec_tag) == in->codec_id ||
                               av_codec_get_tag(tags, in->codec_id) == 0))
                out->codec_tag = 0;
            // The time base: the decoder's frame duration where the container counts
            // finer than a millisecond and finer than a frame.
            const AVCodecContext* dec = ist.dec;
            const int ticks = std::max(dec->ticks_per_frame, 1);
            if (dec->time_base.num > 0 && av_q2d(ist.st->time_base) < av_q2d(dec->time_base) * ticks &&
                av_q2d(ist.st->time_base) < 0.001) {
                AVRational tb = dec->time_base;
                av_reduce(&tb.num, &tb.den, static_cast<int64_t>(tb.num) * ticks, tb.den, INT32_MAX);
                ost.st->time_base = tb;
            } else {
                ost.st->time_base = ist.st->time_base;
            }
            switch (in->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                if (customHookCallback_)
                    throw FFmpegException("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
                if (o.usingVhook)
                    throw FFmpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
                if (PreviewFlags() != 0)
                    throw FFmpegException("-vcodec copy and PostHooks are incompatible (frames are not decoded)");
                // The muxer wants the stream's and the codec's aspect to agree.
                if (in->sample_aspect_ratio.num == 0 && ost.enc->sample_aspect_ratio.num)
                    out->sample_aspect_ratio = ost.enc->sample_aspect_ratio;
                ost.st->sample_aspect_ratio = out->sample_aspect_ratio;
                ost.st->avg_frame_rate = ist.st->avg_frame_rate;
                ost.st->r_frame_rate = ist.st->r_frame_rate;
                break;
            case AVMEDIA_TYPE_AUDIO:
                if (o.audioVolume != 256)
                    throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
                if ((in->codec_id == AV_CODEC_ID_MP3 && out->block_align == 1) || in->codec_id == AV_CODEC_ID_AC3)
                    out->block_align = 0;
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                break;
            default:
                throw FFmpegException("invalid codec_type of output stream");
            }
        } else {
            switch (ost.enc->codec_type) {
            case AVMEDIA_TYPE_AUDIO:
                SetUpAudioEncoding(run, ist, ost);
                break;
            case AVMEDIA_TYPE_VIDEO:
                SetUpVideoEncoding(run, ist, ost);
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                break;
            default:
                throw FFmpegException("invalid codec_type of output stream");
            }
            ist.decodingNeeded = true;
            ost.encodingNeeded = true;

            // Two-pass statistics.
            if (ost.enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) {
                ost.passLogName = (o.passLogFileName.empty() ? std::string("ffmpeg2pass") : o.passLogFileName) +
                                  "-" + std::to_string(streamNumber) + ".log";
                if (ost.passLogName.size() > 1023)
                    ost.passLogName.resize(1023);
                if (ost.enc->flags & AV_CODEC_FLAG_PASS1) {
                    ost.passLogFile = std::fopen(ost.passLogName.c_str(), "wb");
                    if (ost.passLogFile == nullptr)
                        throw FFmpegException("Cannot write log file " + ost.passLogName + " for pass-1 encoding");
                } else {
                    std::ifstream file(ost.passLogName, std::ios::binary);
                    if (!file)
                        throw FFmpegException("Cannot read file: Error reading log file \"" + ost.passLogName +
                                              "\" for pass-2 encoding");
                    std::ostringstream text;
                    text << file.rdbuf();
                    const std::string stats = text.str();
                    ost.enc->stats_in = static_cast<char*>(av_malloc(stats.size() + 1));
                    if (ost.enc->stats_in == nullptr)
                        throw FFmpegException("Could not allocate file buffer: Error reading log file \"" +
                                              ost.passLogName + "\" for pass-2 encoding");
                    std::memcpy(ost.enc->stats_in, stats.c_str(), stats.size() + 1);
                }
            }
        }
    }

    // Text subtitle encoders take their header from the decoder, so a subtitle stream's
    // decoder is opened before the encoders.
    auto OpenDecoder = [&](TInputStream& ist) {
        if (!ist.decodingNeeded || ist.decoderOpen)
            return;
        const AVCodec* decoder = inputStreamDecoders_[ist.fileIndex][ist.streamIndex];
        if (decoder == nullptr)
            decoder = avcodec_find_decoder(ist.st->codecpar->codec_id);
        const char* kind = MediaKindName(ist.st->codecpar->codec_type);
        if (decoder == nullptr) {
            MappingReport(run);
            const std::string message = FormatText("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                                               ist.st->codecpar->codec_id, ist.fileIndex, ist.streamIndex, kind);
            Logger().Log(this, llError, message);
            throw FFmpegException(message);
        }
        int result;
        {
            std::lock_guard lock(CodecLock());
            result = avcodec_open2(ist.dec, decoder, nullptr);
        }
        if (result < 0) {
            MappingReport(run);
            const std::string message =
                FormatText("Error while opening decoder for input stream #%d.%d (%s)", ist.fileIndex, ist.streamIndex, kind);
            Logger().Log(this, llError, message);
            throw FFmpegException(message);
        }
        ist.decoder = decoder;
        ist.decoderOpen = true;
    };
    for (TInputStream& ist : run.inputs) {
        if (ist.st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE)
            OpenDecoder(ist);
    }

    // 6. Encoders.
    for (TOutputStream& ost : run.outputs) {
        if (joinMode_ && ost.fileIndex > 0)
            continue;
        if (ost.encodingNeeded) {
            const AVCodec* encoder = ost.setup->encoderByName ? ost.setup->encoderByName
                                                              : avcodec_find_encoder(ost.enc->codec_id);
            const TInputStream& ist = run.inputs[ost.sourceIndex];
            if (encoder == nullptr) {
                MappingReport(run);
                const std::string message =
                    FormatText("Encoder (codec id %d) not found for output stream #%d.%d (%s)", ost.enc->codec_id,
                           ost.fileIndex, ost.index, MediaKindName(ost.enc->codec_type));
                Logger().Log(this, llError, message);
                throw FFmpegException(message);
            }
            if (ost.enc->codec_type == AVMEDIA_TYPE_SUBTITLE) {
                ost.enc->time_base = AV_TIME_BASE_Q;
                if (ist.dec->subtitle_header && !ost.enc->subtitle_header) {
                    ost.enc->subtitle_header = static_cast<uint8_t*>(av_mallocz(ist.dec->subtitle_header_size + 1));
                    if (ost.enc->subtitle_header) {
                        std::memcpy(ost.enc->subtitle_header, ist.dec->subtitle_header,
                                    ist.dec->subtitle_header_size);
                        ost.enc->subtitle_header_size = ist.dec->subtitle_header_size;
                    }
                }
            }
            AVDictionary* privateOptions = EncoderPrivateOptions(ost.enc->codec_type, encoder);
            int result;
            {
                std::lock_guard lock(CodecLock());
                result = avcodec_open2(ost.enc, encoder, &privateOptions);
            }
            av_dict_free(&privateOptions);
            if (result < 0) {
                MappingReport(run);
                const std::string message = FormatText(
                    "Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect parameters such "
                    "as bit_rate, rate, width or height. Please check error log message to find out more detail "
                    "information.",
                    ost.fileIndex, ost.index, MediaKindName(ost.enc->codec_type));
                Logger().Log(this, llError, message);
                throw FFmpegException(message);
            }
            ost.encoderOpen = true;
            counters_.extraSize_bytes += ost.enc->extradata_size;
            avcodec_parameters_from_context(ost.st->codecpar, ost.enc);
            ost.st->time_base = ost.enc->time_base;
            if (ost.enc->codec_type == AVMEDIA_TYPE_VIDEO)
                ost.st->avg_frame_rate = ost.enc->framerate;
            ost.savedCodecId = ost.enc->codec_id;
        }
        CreateBitstreamFilters(ost, ost.setup->bitstreamFilters);
    }
    if (joinMode_) {
        // The later groups share the first group's streams and encoders.
        for (TOutputStream& ost : run.outputs) {
            if (ost.fileIndex == 0)
                continue;
            const TOutputStream& first = run.outputs[ost.index];
            ost.encodingNeeded = first.encodingNeeded;
            ost.encoderOpen = first.encoderOpen;
            ost.savedCodecId = first.savedCodecId;
            if (ost.encodingNeeded)
                run.inputs[ost.sourceIndex].decodingNeeded = true;
        }
    }

    // 7. Decoders (subtitle decoders were opened before the encoders).
    for (TInputStream& ist : run.inputs)
        OpenDecoder(ist);

    // 8. Initial timestamps.
    for (TInputStream& ist : run.inputs) {
        const AVRational rate = ist.st->avg_frame_rate;
        ist.pts_us = rate.num ? -std::llround(ist.dec->has_b_frames * 1000000.0 / av_q2d(rate)) : 0;
        ist.nextPts_us = NO_TIME_US;
        ist.isStart = true;
    }

    // 9. Metadata maps.
    for (const TMetaDataMap& map : metaDataMaps_) {
        if (map.outFile < 0 || map.outFile >= nbOutputFiles_) {
            MappingReport(run);
            throw FFmpegException(FormatText("Invalid output file index %d map_meta_data(%d,%d)", map.outFile,
                                         map.outFile, map.inFile));
        }
        if (map.inFile < 0 || map.inFile >= nbInputFiles_) {
            MappingReport(run);
            throw FFmpegException(FormatText("Invalid input file index %d map_meta_data(%d,%d)", map.inFile,
                                         map.outFile, map.inFile));
        }
        av_dict_copy(&outputFiles_[map.outFile]->metadata, inputFiles_[map.inFile]->metadata, AV_DICT_DONT_OVERWRITE);
    }

    // 10. Chapters.
    const std::vector<int> distinct = DistinctOutputs(outputFiles_, nbOutputFiles_);
    for (int f = 0; f < nbInputFiles_; ++f) {
        const AVFormatContext* input = inputFiles_[f];
        for (int i : distinct) {
            AVFormatContext* output = outputFiles_[i];
            for (unsigned c = 0; c < input->nb_chapters; ++c) {
                const AVChapter* chapter = input->chapters[c];
                const int64_t offset =
                    av_rescale_q(o.startTime_us - inputFilesTsOffset_us_[f], AV_TIME_BASE_Q, chapter->time_base);
                const bool limited = o.recordingTime_us != INT64_MAX;
                const int64_t limit =
                    limited ? av_rescale_q(o.recordingTime_us, AV_TIME_BASE_Q, chapter->time_base) : INT64_MAX;
                if (chapter->end < offset)
                    continue;
                if (limited && chapter->start > limit + offset)
                    break;
                auto* copy = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
                if (copy == nullptr)
                    throw FFmpegException("av_mallocz fail");
                copy->id = chapter->id;
                copy->time_base = chapter->time_base;
                copy->start = std::max<int64_t>(0, chapter->start - offset);
                copy->end = std::min(limit, chapter->end - offset);
                av_dict_copy(&copy->metadata, chapter->metadata, 0);
                if (av_dynarray_add_nofree(&output->chapters, reinterpret_cast<int*>(&output->nb_chapters), copy) < 0) {
                    av_dict_free(&copy->metadata);
                    av_free(copy);
                    throw FFmpegException("av_realloc fail");
                }
            }
        }
    }

    // 11. Headers.
    for (int i : distinct) {
        AVDictionary* muxerOptions = nullptr;
        av_dict_copy(&muxerOptions, outputMuxerOptions_[i], 0);
        const int result = avformat_write_header(outputFiles_[i], &muxerOptions);
        av_dict_free(&muxerOptions);
        if (result < 0) {
            MappingReport(run);
            const std::string message =
                FormatText("Could not write header for output file #%d (incorrect codec parameters ?)", i);
            Logger().Log(this, llError, message);
            throw FFmpegException(message);
        }
    }
    bool allRtp = !distinct.empty();
    for (int i : distinct)
        allRtp = allRtp && std::strcmp(outputFiles_[i]->oformat->name, "rtp") == 0;
    if (allRtp) {
        std::vector<AVFormatContext*> contexts;
        for (int i : distinct)
            contexts.push_back(outputFiles_[i]);
        char sdp[2048] = {};
        av_sdp_create(contexts.data(), static_cast<int>(contexts.size()), sdp, sizeof sdp);
        std::string text = sdp;
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
            text.pop_back();
        Logger().Log(this, llInfo, "SDP:\r\n" + text);
    }

    // 12.
    MappingReport(run);

    // 13.
    run.runStart_us = av_gettime();
    run.lastReport_us = run.runStart_us;
    run.noPacket.assign(nbInputFiles_, false);
    run.noPacketCount = 0;
    run.decodedFrame = av_frame_alloc();
    run.filteredFrame = av_frame_alloc();
    run.encodedPacket = av_packet_alloc();
    if (!run.decodedFrame || !run.filteredFrame || !run.encodedPacket)
        throw FFmpegException("av_mallocz fail");
}

} // namespace qv
