#include "ResourceFileReader.h"

#include <algorithm>

namespace packaging {

namespace {

uint32_t BigEndian(const std::vector<uint8_t> &bytes, uint64_t at, int size) {
    uint32_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | bytes[at + uint64_t(i)];
    return value;
}

[[noreturn]] void Fail(const std::string &what) { throw ResourceFileError("resource file: " + what); }

// [offset, offset + length) within [0, limit), without overflow.
bool Within(uint64_t offset, uint64_t length, uint64_t limit) { return offset <= limit && length <= limit - offset; }

}  // namespace

std::vector<FileResource> ReadResourceFile(const std::vector<uint8_t> &bytes) {
    constexpr uint64_t kHeader = 16, kMapFixed = 28, kTypeEntry = 8, kReference = 12;
    const uint64_t size = bytes.size();
    if (size < kHeader) Fail("shorter than its 16-byte header");
    const uint64_t data_offset = BigEndian(bytes, 0, 4);
    const uint64_t map_offset = BigEndian(bytes, 4, 4);
    const uint64_t data_length = BigEndian(bytes, 8, 4);
    const uint64_t map_length = BigEndian(bytes, 12, 4);
    if (data_offset < kHeader || !Within(data_offset, data_length, size)) Fail("data section outside the file");
    if (map_offset < kHeader || !Within(map_offset, map_length, size)) Fail("map outside the file");
    if (data_offset < map_offset + map_length && map_offset < data_offset + data_length) Fail("data and map overlap");
    if (map_length < kMapFixed + 2) Fail("map too short for its header and type count");

    // The map begins with a copy of the header (zeros are accepted too: the
    // copy is only written by some tools).
    bool copy_zero = true, copy_equal = true;
    for (uint64_t i = 0; i < kHeader; ++i) {
        copy_zero = copy_zero && bytes[map_offset + i] == 0;
        copy_equal = copy_equal && bytes[map_offset + i] == bytes[i];
    }
    if (!copy_zero && !copy_equal) Fail("the map's copy of the header differs from the header");

    auto map_at = [&](uint64_t offset, int width) { return BigEndian(bytes, map_offset + offset, width); };
    const uint64_t type_list = map_at(24, 2);
    const uint64_t name_list = map_at(26, 2);
    if (!Within(type_list, 2, map_length)) Fail("type list outside the map");
    if (name_list > map_length) Fail("name list outside the map");
    const uint64_t type_count = (map_at(type_list, 2) + 1) & 0xFFFF;
    if (!Within(type_list + 2, type_count * kTypeEntry, map_length)) Fail("type list runs past the map");

    std::vector<FileResource> out;
    for (uint64_t t = 0; t < type_count; ++t) {
        const uint64_t entry = type_list + 2 + t * kTypeEntry;
        const uint32_t code = map_at(entry, 4);
        const std::string type{char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
        const uint64_t count = map_at(entry + 4, 2) + 1;
        const uint64_t references = type_list + map_at(entry + 6, 2);
        if (!Within(references, count * kReference, map_length))
            Fail("reference list of '" + type + "' runs past the map");
        for (uint64_t r = 0; r < count; ++r) {
            const uint64_t ref = references + r * kReference;
            FileResource resource;
            resource.type = type;
            resource.id = int16_t(uint16_t(map_at(ref, 2)));
            const std::string what = "'" + type + "' " + std::to_string(resource.id);
            const uint64_t name_offset = map_at(ref + 2, 2);
            resource.attributes = uint8_t(map_at(ref + 4, 1));
            const uint64_t data_at = map_at(ref + 5, 3);
            if (name_offset != 0xFFFF) {
                const uint64_t name = name_list + name_offset;
                if (!Within(name, 1, map_length)) Fail("name of " + what + " outside the map");
                const uint64_t length = map_at(name, 1);
                if (!Within(name + 1, length, map_length)) Fail("name of " + what + " runs past the map");
                resource.has_name = true;
                resource.name.assign(bytes.begin() + long(map_offset + name + 1),
                                     bytes.begin() + long(map_offset + name + 1 + length));
            }
            if (!Within(data_at, 4, data_length)) Fail("data of " + what + " outside the data section");
            const uint64_t length = BigEndian(bytes, data_offset + data_at, 4);
            if (!Within(data_at + 4, length, data_length)) Fail("data of " + what + " runs past the data section");
            const auto first = bytes.begin() + long(data_offset + data_at + 4);
            resource.data.assign(first, first + long(length));
            const bool duplicate = std::any_of(out.begin(), out.end(), [&](const FileResource &other) {
                return other.type == resource.type && other.id == resource.id;
            });
            if (duplicate) Fail("two resources " + what);
            out.push_back(std::move(resource));
        }
    }
    return out;
}

}  // namespace packaging
