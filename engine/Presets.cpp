#include "engine/Presets.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "engine/FFmpeg.h"
#include "engine/OptionText.h"
#include "platform/Exceptions.h"

namespace qv {

namespace {

// Texts of the built-in presets. Several presets share a text (see the table below).
constexpr char kBaseline[] =
    "coder=0\n"
    "bf=0\n"
    "flags2=-wpred-dct8x8\n"
    "wpredp=0";

constexpr char kDefault[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
    "me_method=hex\n"
    "subq=7\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=3\n"
    "directpred=1\n"
    "trellis=1\n"
    "flags2=+mixed_refs+wpred+dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kFast[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
    "me_method=hex\n"
    "subq=6\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=2\n"
    "directpred=1\n"
    "trellis=1\n"
    "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kFast_firstpass[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
    "me_method=dia\n"
    "subq=2\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=1\n"
    "directpred=1\n"
    "trellis=0\n"
    "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kFaster[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
    "me_method=hex\n"
    "subq=4\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=2\n"
    "directpred=1\n"
    "trellis=1\n"
    "flags2=+bpyramid-mixed_refs+wpred+dct8x8+fastpskip\n"
    "wpredp=1";

constexpr char kFaster_firstpass[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
    "me_method=dia\n"
    "subq=2\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=1\n"
    "directpred=1\n"
    "trellis=0\n"
    "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
    "wpredp=1";

constexpr char kFastfirstpass[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\n"
    "me_method=dia\n"
    "subq=2\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=1\n"
    "directpred=3\n"
    "trellis=0\n"
    "flags2=-bpyramid-wpred-mixed_refs-dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kHq[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
    "me_method=umh\n"
    "subq=8\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=2\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=4\n"
    "directpred=3\n"
    "trellis=1\n"
    "flags2=+wpred+mixed_refs+dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kIpod320[] =
    "coder=0\n"
    "bf=0\n"
    "flags2=-wpred-dct8x8\n"
    "level=13\n"
    "maxrate=768000\n"
    "bufsize=3000000\n"
    "wpredp=0";

constexpr char kIpod640[] =
    "coder=0\n"
    "bf=0\n"
    "refs=1\n"
    "flags2=-wpred-dct8x8\n"
    "level=30\n"
    "maxrate=10000000\n"
    "bufsize=10000000\n"
    "wpredp=0";

constexpr char kLossless_fast[] =
    "coder=0\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=-parti8x8+parti4x4+partp8x8-partp4x4-partb8x8\n"
    "me_method=hex\n"
    "subq=3\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "directpred=1\n"
    "flags2=+fastpskip\n"
    "cqp=0\n"
    "wpredp=0";

constexpr char kLossless_max[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
    "me_method=esa\n"
    "subq=8\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "refs=16\n"
    "directpred=1\n"
    "flags2=+mixed_refs+dct8x8+fastpskip\n"
    "cqp=0\n"
    "wpredp=2";

constexpr char kLossless_medium[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=-parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
    "me_method=hex\n"
    "subq=5\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "directpred=1\n"
    "flags2=+fastpskip\n"
    "cqp=0\n"
    "wpredp=2";

constexpr char kLossless_slow[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
    "me_method=umh\n"
    "subq=6\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "refs=2\n"
    "directpred=1\n"
    "flags2=+dct8x8+fastpskip\n"
    "cqp=0\n"
    "wpredp=2";

constexpr char kLossless_slower[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
    "me_method=umh\n"
    "subq=8\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "refs=4\n"
    "directpred=1\n"
    "flags2=+mixed_refs+dct8x8+fastpskip\n"
    "cqp=0\n"
    "wpredp=2";

constexpr char kLossless_ultrafast[] =
    "coder=0\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\n"
    "me_method=dia\n"
    "subq=0\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "directpred=1\n"
    "flags2=+fastpskip\n"
    "cqp=0";

constexpr char kMain[] =
    "flags2=-dct8x8";

constexpr char kMax[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
    "me_method=tesa\n"
    "subq=10\n"
    "me_range=24\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=2\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=16\n"
    "directpred=3\n"
    "trellis=2\n"
    "flags2=+wpred+mixed_refs+dct8x8-fastpskip\n"
    "wpredp=2";

constexpr char kMedium[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
    "me_method=hex\n"
    "subq=7\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=3\n"
    "directpred=1\n"
    "trellis=1\n"
    "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kNormal[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
    "me_method=hex\n"
    "subq=6\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=2\n"
    "directpred=3\n"
    "trellis=0\n"
    "flags2=+wpred+dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kPlacebo[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
    "me_method=tesa\n"
    "subq=10\n"
    "me_range=24\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=2\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=16\n"
    "refs=16\n"
    "directpred=3\n"
    "trellis=2\n"
    "flags2=+bpyramid+mixed_refs+wpred+dct8x8-fastpskip\n"
    "wpredp=2";

constexpr char kSlow[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
    "me_method=umh\n"
    "subq=8\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=2\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=5\n"
    "directpred=3\n"
    "trellis=1\n"
    "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kSlow_firstpass[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
    "me_method=dia\n"
    "subq=2\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=2\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=1\n"
    "directpred=3\n"
    "trellis=0\n"
    "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kSlower[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
    "me_method=umh\n"
    "subq=9\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=2\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=8\n"
    "directpred=3\n"
    "trellis=2\n"
    "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kSlowfirstpass[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
    "me_method=hex\n"
    "subq=6\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=2\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=1\n"
    "directpred=3\n"
    "trellis=0\n"
    "flags2=+wpred+dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kSuperfast[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4-partp8x8-partb8x8\n"
    "me_method=dia\n"
    "subq=1\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=1\n"
    "directpred=1\n"
    "trellis=0\n"
    "flags2=+bpyramid-mixed_refs+wpred+dct8x8+fastpskip-mbtree\n"
    "wpredp=0";

constexpr char kSuperfast_firstpass[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
    "me_method=dia\n"
    "subq=1\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=1\n"
    "directpred=1\n"
    "trellis=0\n"
    "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip-mbtree\n"
    "wpredp=0";

constexpr char kUltrafast[] =
    "coder=0\n"
    "flags=-loop\n"
    "cmp=+chroma\n"
    "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
    "me_method=dia\n"
    "subq=0\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=0\n"
    "i_qfactor=0.71\n"
    "b_strategy=0\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=0\n"
    "refs=1\n"
    "directpred=1\n"
    "trellis=0\n"
    "flags2=-bpyramid-mixed_refs-wpred-dct8x8+fastpskip-mbtree\n"
    "wpredp=0";

constexpr char kVeryfast[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
    "me_method=hex\n"
    "subq=2\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=1\n"
    "directpred=1\n"
    "trellis=0\n"
    "flags2=+bpyramid-mixed_refs+wpred+dct8x8+fastpskip-mbtree\n"
    "wpredp=0";

constexpr char kVeryfast_firstpass[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
    "me_method=dia\n"
    "subq=2\n"
    "me_range=16\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=1\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=3\n"
    "refs=1\n"
    "directpred=1\n"
    "trellis=0\n"
    "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip-mbtree\n"
    "wpredp=0";

constexpr char kVeryslow[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
    "me_method=umh\n"
    "subq=10\n"
    "me_range=24\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=2\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=8\n"
    "refs=16\n"
    "directpred=3\n"
    "trellis=2\n"
    "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
    "wpredp=2";

constexpr char kVeryslow_firstpass[] =
    "coder=1\n"
    "flags=+loop\n"
    "cmp=+chroma\n"
    "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
    "me_method=dia\n"
    "subq=2\n"
    "me_range=24\n"
    "g=250\n"
    "keyint_min=25\n"
    "sc_threshold=40\n"
    "i_qfactor=0.71\n"
    "b_strategy=2\n"
    "qcomp=0.6\n"
    "qmin=10\n"
    "qmax=51\n"
    "qdiff=4\n"
    "bf=8\n"
    "refs=1\n"
    "directpred=3\n"
    "trellis=0\n"
    "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
    "wpredp=2";

constexpr TOptionsPreset kPresets[] = {
    {"libx264-baseline", kBaseline},
    {"libx264-default", kDefault},
    {"libx264-fast", kFast},
    {"libx264-fast_firstpass", kFast_firstpass},
    {"libx264-faster", kFaster},
    {"libx264-faster_firstpass", kFaster_firstpass},
    {"libx264-fastfirstpass", kFastfirstpass},
    {"libx264-hq", kHq},
    {"libx264-ipod320", kIpod320},
    {"libx264-ipod640", kIpod640},
    {"libx264-lossless_fast", kLossless_fast},
    {"libx264-lossless_max", kLossless_max},
    {"libx264-lossless_medium", kLossless_medium},
    {"libx264-lossless_slow", kLossless_slow},
    {"libx264-lossless_slower", kLossless_slower},
    {"libx264-lossless_ultrafast", kLossless_ultrafast},
    {"libx264-main", kMain},
    {"libx264-max", kMax},
    {"libx264-medium", kMedium},
    {"libx264-medium_firstpass", kFast_firstpass},
    {"libx264-normal", kNormal},
    {"libx264-placebo", kPlacebo},
    {"libx264-placebo_firstpass", kPlacebo},
    {"libx264-slow", kSlow},
    {"libx264-slow_firstpass", kSlow_firstpass},
    {"libx264-slower", kSlower},
    {"libx264-slower_firstpass", kSlow_firstpass},
    {"libx264-slowfirstpass", kSlowfirstpass},
    {"libx264-superfast", kSuperfast},
    {"libx264-superfast_firstpass", kSuperfast_firstpass},
    {"libx264-ultrafast", kUltrafast},
    {"libx264-ultrafast_firstpass", kUltrafast},
    {"libx264-veryfast", kVeryfast},
    {"libx264-veryfast_firstpass", kVeryfast_firstpass},
    {"libx264-veryslow", kVeryslow},
    {"libx264-veryslow_firstpass", kVeryslow_firstpass},
};

} // namespace

std::span<const TOptionsPreset> BuiltInPresets()
{
    return kPresets;
}

const TOptionsPreset* FindBuiltInPreset(std::string_view name)
{
    for (const TOptionsPreset& preset : kPresets) {
        if (SameText(preset.name, name))
            return &preset;
    }
    return nullptr;
}

// "apre", "vpre", "spre": a built-in preset by name, or by the kind's codec name, "-"
// and the name ("vpre" fast with libx264 finds "libx264-fast"); otherwise, and always
// for "fpre", a preset file. Each line "key=value" sets a codec name or a generic option.
void TCustomFFmpeg::ApplyPreset(const std::string& kind, const std::string& name)
{
    if (kind.empty() || name.empty())
        return;
    std::string presetName = name;
    std::string text;
    const TOptionsPreset* preset = nullptr;
    if (kind != "fpre") {
        preset = FindBuiltInPreset(name);
        const std::optional<std::string>& codecName = kind == "vpre"   ? options_.videoCodecName
                                                      : kind == "apre" ? options_.audioCodecName
                                                                       : options_.subtitleCodecName;
        if (preset == nullptr && codecName.has_value())
            preset = FindBuiltInPreset(*codecName + "-" + name);
    }
    if (preset != nullptr) {
        presetName = preset->name;
        text = preset->text;
    } else {
        std::error_code error;
        std::ifstream file;
        if (std::filesystem::is_regular_file(name, error))
            file.open(name, std::ios::binary);
        if (!file.is_open())
            throw FFmpegException("Preset \"" + name + "\" not found");
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    // One option per line, whatever the line breaks of the file.
    std::string normalised;
    const std::string trimmed = Trim(text);
    for (size_t i = 0; i < trimmed.size(); ++i) {
        if (trimmed[i] == '\r') {
            normalised += '\n';
            if (i + 1 < trimmed.size() && trimmed[i + 1] == '\n')
                ++i;
        } else {
            normalised += trimmed[i];
        }
    }
    std::istringstream lines(normalised);
    std::string rawLine;
    while (std::getline(lines, rawLine)) {
        const std::string line = Trim(rawLine);
        if (line.empty())
            continue;
        const size_t equals = line.find('=');
        const std::string key = Trim(line.substr(0, equals));
        const std::string value = equals == std::string::npos ? std::string() : Trim(line.substr(equals + 1));
        if (key.empty() || value.empty())
            throw FFmpegException(presetName + ": Invalid syntax: \"" + line + "\"");
        if (SameText(key, "vcodec"))
            SetCodecNameOption(0, value);
        else if (SameText(key, "acodec"))
            SetCodecNameOption(1, value);
        else if (SameText(key, "scodec"))
            SetCodecNameOption(3, value);
        else if (!SetGenericOption(key, value))
            throw FFmpegException(presetName + ": Invalid option or argument: \"" + line + "\", parsed as \"" + key +
                                  "\" = \"" + value + "\"");
    }
}

} // namespace qv
