// A reader of the classic resource-file layout (the format of the macOS
// bundle's .rsrc), written apart from the writer in tools/ so that each
// checks the other.
#ifndef ORVANE_TESTS_PACKAGING_RESOURCE_FILE_READER_H
#define ORVANE_TESTS_PACKAGING_RESOURCE_FILE_READER_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace packaging {

struct FileResource {
    std::string type;  // four characters
    int16_t id = 0;
    bool has_name = false;
    std::string name;
    uint8_t attributes = 0;
    std::vector<uint8_t> data;
};

struct ResourceFileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Every resource, types in map order and resources in reference-list order.
// Throws ResourceFileError saying what is wrong when anything the header or
// the map points at lies outside the file or its section, the sections
// overlap, the map's header copy disagrees with the header, or a type and
// identifier occur twice.
std::vector<FileResource> ReadResourceFile(const std::vector<uint8_t> &bytes);

}  // namespace packaging

#endif
