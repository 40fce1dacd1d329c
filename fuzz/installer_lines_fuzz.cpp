// Lines of an installer's output: every line is a phase, a progress figure that is a finite
// number, or nothing, whatever it holds.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tasks/process_tasks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, std::min(end - start, (size_t)511));
        std::string phase;
        double progress = 0;
        const int32_t kind = PKG_ReadOutputLine(line.c_str(), &phase, &progress);
        if (kind == PKG_LINE_PROGRESS && !std::isfinite(progress)) abort();
        if (kind == PKG_LINE_PHASE && phase.size() > line.size()) abort();
        start = end + 1;
    }
    return 0;
}
