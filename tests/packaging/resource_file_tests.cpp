// The resource-file writer of tools/ against the reader of these tests: the
// layout written out by hand, round trips of several resource sets, the
// writer's refusals and the reader's detection of damaged files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PropertyList.h"
#include "ResourceFile.h"
#include "ResourceFileReader.h"

namespace {

using Bytes = std::vector<uint8_t>;
using orvane::pipl::FourCC;
using orvane::rsrc::Resource;
using orvane::rsrc::WriteResourceFile;

uint32_t At32(const Bytes &b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

Resource Make(const char (&type)[5], int16_t id, std::string name, uint8_t attributes, Bytes data) {
    Resource r;
    r.type = FourCC(type);
    r.id = id;
    r.name = std::move(name);
    r.attributes = attributes;
    r.data = std::move(data);
    return r;
}

TEST(ResourceFileLayout, OneResourceIsLaidOutAsTheFormatDefines) {
    const Bytes data = {0xAA, 0xBB, 0xCC};
    const Bytes file = WriteResourceFile({Make("PiPL", 16000, "", 0, data)});
    // Header: data at 256, 4 + 3 bytes of data, a map of 28 + 2 + 8 + 12.
    const Bytes header = {0, 0, 1, 0, 0, 0, 1, 7, 0, 0, 0, 7, 0, 0, 0, 50};
    ASSERT_EQ(file.size(), 256u + 7u + 50u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), header);
    EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + 256), Bytes(240, 0));
    EXPECT_EQ(Bytes(file.begin() + 256, file.begin() + 263), (Bytes{0, 0, 0, 3, 0xAA, 0xBB, 0xCC}));
    const Bytes map(file.begin() + 263, file.end());
    const Bytes expected_map = {
        // a copy of the header
        0,    0,    1,    0,    0, 0, 1, 7,  0, 0, 0, 7, 0, 0, 0, 50, 0, 0, 0, 0,  // next map
        0,    0,                                                                   // file reference
        0,    0,                                                                   // attributes
        0,    28,                                                                  // type list at 28
        0,    50,                                                                  // name list at the end
        0,    0,                                                                   // one type
        'P',  'i',  'P',  'L',  0, 0, 0, 10,              // one resource, its references 10 bytes after the type list
        0x3E, 0x80, 0xFF, 0xFF, 0, 0, 0, 0,  0, 0, 0, 0,  // id 16000, no name, attributes 0, data at 0
    };
    EXPECT_EQ(map, expected_map);
}

TEST(ResourceFileLayout, EmptyFileHasNoTypes) {
    const Bytes file = WriteResourceFile({});
    ASSERT_EQ(file.size(), 256u + 30u);
    EXPECT_EQ(At32(file, 8), 0u);
    EXPECT_EQ(file[256 + 28], 0xFF);  // type count minus one: -1
    EXPECT_EQ(file[256 + 29], 0xFF);
    EXPECT_TRUE(packaging::ReadResourceFile(file).empty());
}

// Round trips: what the writer stores, the reader gives back.
struct RoundTrip {
    const char *name;
    std::vector<Resource> resources;
    std::vector<size_t> read_order;  // indices into resources, in map order
};

std::vector<RoundTrip> RoundTrips() {
    return {
        {"OnePropertyList",
         {Make("PiPL", 16000, "", 0, orvane::pipl::PluginPropertyList(orvane::pipl::Target::kMacX64))},
         {0}},
        {"NamesAttributesAndNegativeIds",
         {Make("PiPL", 16000, "OrvaneVeilShadow", 0x20, {1, 2, 3}), Make("STR ", -16001, "about", 0, {}),
          Make("STR ", 128, "", 0x08, Bytes(300, 0x5A))},
         {0, 1, 2}},
        {"TypesGroupedInOrderOfFirstAppearance",
         {Make("aaaa", 1, "x", 0, {1}), Make("bbbb", 1, "", 0, {2}), Make("aaaa", 2, "y", 0, {3}),
          Make("cccc", 7, "", 0, {}), Make("bbbb", 2, "", 0, {5, 5})},
         {0, 2, 1, 4, 3}},
        {"LongestName", {Make("name", 0, std::string(255, 'n'), 0, {9})}, {0}},
    };
}

class ResourceRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(ResourceRoundTrip, ReadsBackWhatWasWritten) {
    const RoundTrip &c = GetParam();
    const std::vector<packaging::FileResource> read = packaging::ReadResourceFile(WriteResourceFile(c.resources));
    ASSERT_EQ(read.size(), c.read_order.size());
    for (size_t i = 0; i < read.size(); ++i) {
        const Resource &want = c.resources[c.read_order[i]];
        SCOPED_TRACE("resource " + std::to_string(i));
        EXPECT_EQ(read[i].type, orvane::pipl::FourCCName(want.type));
        EXPECT_EQ(read[i].id, want.id);
        EXPECT_EQ(read[i].has_name, !want.name.empty());
        EXPECT_EQ(read[i].name, want.name);
        EXPECT_EQ(read[i].attributes, want.attributes);
        EXPECT_EQ(read[i].data, want.data);
    }
}

INSTANTIATE_TEST_SUITE_P(Sets, ResourceRoundTrip, ::testing::ValuesIn(RoundTrips()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ResourceFileWriter, RefusesTwoResourcesWithOneTypeAndId) {
    EXPECT_THROW(WriteResourceFile({Make("PiPL", 1, "", 0, {}), Make("PiPL", 1, "", 0, {})}), std::invalid_argument);
    EXPECT_NO_THROW(WriteResourceFile({Make("PiPL", 1, "", 0, {}), Make("PiPl", 1, "", 0, {})}));
}

TEST(ResourceFileWriter, RefusesANameLongerThanItsLengthByte) {
    EXPECT_THROW(WriteResourceFile({Make("PiPL", 1, std::string(256, 'n'), 0, {})}), std::invalid_argument);
}

TEST(ResourceFileWriter, RefusesDataBeyondTheReachOfThreeByteOffsets) {
    // The second resource would start past 2^24 - 1 bytes into the data.
    std::vector<Resource> big = {Make("BIG ", 1, "", 0, Bytes(0x1000000, 0)), Make("BIG ", 2, "", 0, {1})};
    EXPECT_THROW(WriteResourceFile(big), std::invalid_argument);
    // Four bytes less and the second resource starts at 2^24 - 1, the last
    // offset three bytes can hold.
    big[0].data.resize(0xFFFFFF - 4);
    EXPECT_NO_THROW(WriteResourceFile(big));
}

// Damage to a valid file that the reader must report rather than read past.
struct Damage {
    const char *name;
    void (*apply)(Bytes &);
};

// The sample below: two types, three resources, one name. Offsets from its
// header: map at At32(4); map's type list at +28, name list after the
// references.
size_t MapOf(const Bytes &b) { return At32(b, 4); }

const Damage kDamages[] = {
    {"ShorterThanHeader", [](Bytes &b) { b.resize(12); }},
    {"Truncated", [](Bytes &b) { b.resize(b.size() - 1); }},
    {"DataOffsetInsideHeader",
     [](Bytes &b) {
         b[3] = 8;
         b[2] = 0;
     }},
    {"DataLengthPastEnd", [](Bytes &b) { b[9] = 0x10; }},
    {"MapLengthPastEnd", [](Bytes &b) { b[15] += 1; }},
    {"SectionsOverlap", [](Bytes &b) { b[11] += 4; }},
    {"HeaderCopyDiffers", [](Bytes &b) { b[MapOf(b) + 15] ^= 1; }},
    {"TypeListOutsideMap", [](Bytes &b) { b[MapOf(b) + 24] = 0x7F; }},
    {"TooManyTypes", [](Bytes &b) { b[MapOf(b) + 29] = 40; }},
    {"ReferenceListOutsideMap", [](Bytes &b) { b[MapOf(b) + 30 + 7] = 0xF0; }},
    {"DataOffsetOutsideData", [](Bytes &b) { b[MapOf(b) + 46 + 5] = 0x7F; }},
    {"ResourceLengthPastData", [](Bytes &b) { b[256] = 0x01; }},
    {"NameOutsideMap",
     [](Bytes &b) {
         b[MapOf(b) + 46 + 2] = 0x10;
         b[MapOf(b) + 46 + 3] = 0;
     }},
    {"NameLengthPastMap", [](Bytes &b) { b[b.size() - 5] = 200; }},
    {"DuplicateId",
     [](Bytes &b) {
         b[MapOf(b) + 58] = b[MapOf(b) + 46];
         b[MapOf(b) + 59] = b[MapOf(b) + 47];
     }},
};

Bytes Sample() {
    return WriteResourceFile({Make("PiPL", 16000, "", 0, {1, 2, 3, 4}), Make("PiPL", 16001, "", 0, {5}),
                              Make("STR ", 1, "four", 0, {6, 7})});
}

class ResourceReaderDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(ResourceReaderDamage, IsReported) {
    Bytes file = Sample();
    ASSERT_NO_THROW(packaging::ReadResourceFile(file));
    GetParam().apply(file);
    EXPECT_THROW(packaging::ReadResourceFile(file), packaging::ResourceFileError);
}

INSTANTIATE_TEST_SUITE_P(Damages, ResourceReaderDamage, ::testing::ValuesIn(kDamages),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ResourceReader, AcceptsAZeroedHeaderCopy) {
    Bytes file = Sample();
    for (size_t i = 0; i < 16; ++i) file[MapOf(file) + i] = 0;
    EXPECT_EQ(packaging::ReadResourceFile(file).size(), 3u);
}

}  // namespace
