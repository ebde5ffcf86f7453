#include "cli/InfoCommand.h"

#include <cstdio>

#include "probe/AVProbe.h"
#include "runtime/FFmpegLoader.h"

namespace qv {

int RunInfoCommand(const std::string& file)
{
    if (!FFLoader().LibrariesLoaded(CONVERTER_LIBRARIES) && !FFLoader().LoadLibraries(CONVERTER_LIBRARIES)) {
        std::fprintf(stderr, "%s\n", FFLoader().LastError().c_str());
        return 1;
    }
    TAVProbe probe;
    if (!probe.LoadFile(file)) {
        std::fprintf(stderr, "%s\n", probe.LastError().c_str());
        return 1;
    }
    const std::string text = probe.InfoText();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

} // namespace qv
