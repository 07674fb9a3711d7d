// The classic resource-file layout, as macOS bundles carry their resources in
// Contents/Resources/<name>.rsrc: a 16-byte header, the data of every
// resource, and a map of types, identifiers and names. Every number is
// big-endian.
#ifndef ORVANE_TOOLS_RESOURCE_FILE_H
#define ORVANE_TOOLS_RESOURCE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace orvane::rsrc {

struct Resource {
    uint32_t type = 0;  // four-character code, e.g. 'PiPL'
    int16_t id = 0;
    std::string name;        // empty: the resource has no name
    uint8_t attributes = 0;  // the resource's attribute byte, as stored
    std::vector<uint8_t> data;
};

// Where the data section starts: after the header and the 240 bytes that
// the layout keeps for the system and the application.
inline constexpr uint32_t kDataOffset = 256;

// The file's bytes. Types appear in the map in the order of their first
// resource, and resources of a type in the order given. Throws
// std::invalid_argument for two resources with one type and identifier, a
// name longer than 255 bytes, or contents too large for the layout's
// offsets (24-bit data offsets, 16-bit map offsets).
std::vector<uint8_t> WriteResourceFile(const std::vector<Resource> &resources);

}  // namespace orvane::rsrc

#endif
