// What the image files' reading and writing share, and OpenImageIO's own
// threads.
#include "ImageIO.h"

#include "ImageIOCommon.h"

#include <algorithm>
#include <thread>

namespace veilshadow {

std::string LibraryMessage(const std::string &message) {
    std::size_t start = 0;
    while (start < message.size()) {
        std::size_t end = message.find('\n', start);
        if (end == std::string::npos) end = message.size();
        std::string line = message.substr(start, end - start);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
        if (!line.empty()) return line;
        start = end + 1;
    }
    return "unknown error";
}

std::string TakeGlobalError() { return LibraryMessage(OIIO::geterror()); }

std::vector<float> &FloatRow(std::size_t count) {
    thread_local std::vector<float> row;
    if (row.size() < count) row.resize(count);
    return row;
}

void SetLibraryThreads(int cores) {
    const int threads = cores > 0 ? cores : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    OIIO::attribute("threads", threads);
    OIIO::attribute("exr_threads", threads);
}

}  // namespace veilshadow
