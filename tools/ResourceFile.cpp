#include "ResourceFile.h"

#include <algorithm>
#include <stdexcept>

namespace orvane::rsrc {

namespace {

void Put(std::vector<uint8_t> &out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(uint8_t(value >> (8 * i)));
}

void PutAt(std::vector<uint8_t> &out, size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + i] = uint8_t(value >> (8 * (bytes - 1 - i)));
}

std::string Describe(const Resource &r) {
    std::string type;
    for (int shift = 24; shift >= 0; shift -= 8) type.push_back(char(r.type >> shift));
    return "'" + type + "' " + std::to_string(r.id);
}

void Require(bool ok, const std::string &what) {
    if (!ok) throw std::invalid_argument("resource file: " + what);
}

constexpr size_t kMapHeaderSize = 28;  // header copy, next map, file ref, attributes, two offsets
constexpr size_t kTypeEntrySize = 8;
constexpr size_t kReferenceSize = 12;
constexpr uint16_t kNoName = 0xFFFF;

}  // namespace

std::vector<uint8_t> WriteResourceFile(const std::vector<Resource> &resources) {
    // Group by type, keeping the order of first appearance.
    std::vector<uint32_t> types;
    std::vector<std::vector<const Resource *>> by_type;
    for (const Resource &r : resources) {
        size_t t = 0;
        while (t < types.size() && types[t] != r.type) ++t;
        if (t == types.size()) {
            types.push_back(r.type);
            by_type.emplace_back();
        }
        for (const Resource *other : by_type[t]) Require(other->id != r.id, "two resources " + Describe(r));
        Require(r.name.size() <= 255, "name of " + Describe(r) + " is longer than 255 bytes");
        by_type[t].push_back(&r);
    }
    Require(types.size() <= 0x10000, "too many types");

    // Data section: each resource's length, then its bytes.
    std::vector<uint8_t> data;
    std::vector<uint32_t> data_offsets;  // in the order of `resources`
    for (const Resource &r : resources) {
        Require(data.size() <= 0xFFFFFF, "data section too large for 24-bit offsets at " + Describe(r));
        Require(r.data.size() <= 0xFFFFFFFFu, "data of " + Describe(r) + " too large");
        data_offsets.push_back(uint32_t(data.size()));
        Put(data, r.data.size(), 4);
        data.insert(data.end(), r.data.begin(), r.data.end());
    }

    // Map: header, type list, reference lists, name list.
    std::vector<uint8_t> map(kMapHeaderSize, 0);
    const size_t type_list = map.size();
    Put(map, uint16_t(types.size() - 1), 2);  // count minus one; 0xFFFF when empty
    const size_t references = type_list + 2 + kTypeEntrySize * types.size();
    size_t next_reference = references;
    for (size_t t = 0; t < types.size(); ++t) {
        const size_t offset = next_reference - type_list;
        Require(offset <= 0xFFFF, "map too large for 16-bit offsets");
        Put(map, types[t], 4);
        Put(map, by_type[t].size() - 1, 2);
        Put(map, offset, 2);
        next_reference += kReferenceSize * by_type[t].size();
    }
    std::vector<uint8_t> names;
    for (size_t t = 0; t < types.size(); ++t) {
        for (const Resource *r : by_type[t]) {
            uint16_t name_offset = kNoName;
            if (!r->name.empty()) {
                Require(names.size() < kNoName, "name list too large for 16-bit offsets");
                name_offset = uint16_t(names.size());
                names.push_back(uint8_t(r->name.size()));
                names.insert(names.end(), r->name.begin(), r->name.end());
            }
            Put(map, uint16_t(r->id), 2);
            Put(map, name_offset, 2);
            map.push_back(r->attributes);
            Put(map, data_offsets[size_t(r - resources.data())], 3);
            Put(map, 0, 4);  // handle, filled in by the loader
        }
    }
    const size_t name_list = map.size();
    Require(name_list <= 0xFFFF, "map too large for 16-bit offsets");
    map.insert(map.end(), names.begin(), names.end());
    PutAt(map, 24, type_list, 2);
    PutAt(map, 26, name_list, 2);

    const uint64_t map_offset = uint64_t(kDataOffset) + data.size();
    Require(map_offset + map.size() <= 0xFFFFFFFFu, "file too large");
    std::vector<uint8_t> header;
    Put(header, kDataOffset, 4);
    Put(header, map_offset, 4);
    Put(header, data.size(), 4);
    Put(header, map.size(), 4);
    std::copy(header.begin(), header.end(), map.begin());  // the map starts with a copy of the header

    std::vector<uint8_t> file;
    file.reserve(kDataOffset + data.size() + map.size());
    file.insert(file.end(), header.begin(), header.end());
    file.resize(kDataOffset, 0);
    file.insert(file.end(), data.begin(), data.end());
    file.insert(file.end(), map.begin(), map.end());
    return file;
}

}  // namespace orvane::rsrc
