// The property list the build generates: every byte against the lists
// written out here, its values as the tests' own reader finds them, and the
// generator program's handling of its command line and files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "OrvaneVersion.h"
#include "PF_Host.h"
#include "PropertyList.h"
#include "PropertyListReader.h"
#include "ResourceFileReader.h"
#include "TestProcess.h"

namespace {

using orvane::pipl::ByteOrder;
using orvane::pipl::Target;
using orvane::pipl::Value;
using packaging::Endian;
using packaging::Platform;

using Bytes = std::vector<uint8_t>;

Bytes ReadFileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Bytes spelled out as text plus numbers, e.g. B("MIB8") + B({0, 1}).
Bytes B(const std::string &text) { return Bytes(text.begin(), text.end()); }
Bytes B(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(uint8_t(v));
    return out;
}
Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct PlatformCase {
    const char *name;
    Target target;
    Platform platform;
};
const PlatformCase kPlatforms[] = {
    {"Windows", Target::kWindowsX64, Platform::kWindows},
    {"Mac", Target::kMacX64, Platform::kMac},
};

class PropertyListByPlatform : public ::testing::TestWithParam<PlatformCase> {};

TEST_P(PropertyListByPlatform, HoldsTheTwelvePropertiesInOrderWithTheirValues) {
    const Bytes bytes = orvane::pipl::PluginPropertyList(GetParam().target);
    const packaging::StoredList list = packaging::ReadList(bytes, packaging::EndianOf(GetParam().platform));
    const std::vector<std::string> differences = packaging::Differences(list, GetParam().platform);
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
    // 10 header bytes, 12 property headers of 16 bytes, 96 bytes of values.
    EXPECT_EQ(bytes.size(), 10u + 12u * 16u + 96u);
}

TEST_P(PropertyListByPlatform, NamesTheExportedEntryPoint) {
    const bool windows = GetParam().platform == Platform::kWindows;
    const packaging::StoredList list = packaging::ReadList(orvane::pipl::PluginPropertyList(GetParam().target),
                                                           packaging::EndianOf(GetParam().platform));
    const packaging::StoredProperty &entry = packaging::Find(list, windows ? "8664" : "mi64");
    EXPECT_STREQ(reinterpret_cast<const char *>(entry.value.data()), PF_ENTRY_POINT_NAME);
    EXPECT_STREQ(orvane::kEntryPointName, PF_ENTRY_POINT_NAME);
    EXPECT_THROW(packaging::Find(list, windows ? "mi64" : "8664"), packaging::ListError);
}

// The lists as they must be, every byte written out: four-character codes
// as numbers in the list's byte order (so reversed in the Windows list),
// then id 0, the length, the value and its rounding. The values: kind
// 'eFKT' (an effect); name and match name "OrvaneVeilShadow"; category
// "Orvane"; the entry point the module exports; list format 2.0; effect
// API 13.0; version 1.0.0, release, build 1 (0x00080601, as global setup
// reports it); no info flags; out flags: deep colour; out flags 2: smart
// render (0x400) and float colour (0x1000); aeFL 8.
const Bytes kWindowsList =
    B({1, 0, 0, 0, 0, 0, 12, 0, 0, 0}) +                                                       // 1, 0, 12 properties
    B("MIB8dnik") + B({0, 0, 0, 0, 4, 0, 0, 0}) + B("TKFe") +                                  // kind
    B("MIB8eman") + B({0, 0, 0, 0, 20, 0, 0, 0, 16}) + B("OrvaneVeilShadow") + B({0, 0, 0}) +  // name
    B("MIB8gtac") + B({0, 0, 0, 0, 8, 0, 0, 0, 6}) + B("Orvane") + B({0}) +                    // catg
    B("MIB84668") + B({0, 0, 0, 0, 16, 0, 0, 0}) + B("EntryPointFunc") + B({0, 0}) +           // 8664
    B("MIB8RVPe") + B({0, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0}) +                                  // ePVR
    B("MIB8RVSe") + B({0, 0, 0, 0, 4, 0, 0, 0, 13, 0, 0, 0}) +                                 // eSVR
    B("MIB8REVe") + B({0, 0, 0, 0, 4, 0, 0, 0, 0x01, 0x06, 0x08, 0x00}) +                      // eVER
    B("MIB8FNIe") + B({0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}) +                                  // eINF
    B("MIB8OLGe") + B({0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 2}) +                                  // eGLO
    B("MIB82LGe") + B({0, 0, 0, 0, 4, 0, 0, 0, 0, 0x14, 0, 0}) +                               // eGL2
    B("MIB8ANMe") + B({0, 0, 0, 0, 20, 0, 0, 0, 16}) + B("OrvaneVeilShadow") + B({0, 0, 0}) +  // eMNA
    B("MIB8LFea") + B({0, 0, 0, 0, 4, 0, 0, 0, 8, 0, 0, 0});                                   // aeFL
const Bytes kMacList =
    B({0, 1, 0, 0, 0, 0, 0, 0, 0, 12}) +                                                       // 1, 0, 12 properties
    B("8BIMkind") + B({0, 0, 0, 0, 0, 0, 0, 4}) + B("eFKT") +                                  // kind
    B("8BIMname") + B({0, 0, 0, 0, 0, 0, 0, 20, 16}) + B("OrvaneVeilShadow") + B({0, 0, 0}) +  // name
    B("8BIMcatg") + B({0, 0, 0, 0, 0, 0, 0, 8, 6}) + B("Orvane") + B({0}) +                    // catg
    B("8BIMmi64") + B({0, 0, 0, 0, 0, 0, 0, 16}) + B("EntryPointFunc") + B({0, 0}) +           // mi64
    B("8BIMePVR") + B({0, 0, 0, 0, 0, 0, 0, 4, 0, 2, 0, 0}) +                                  // ePVR
    B("8BIMeSVR") + B({0, 0, 0, 0, 0, 0, 0, 4, 0, 13, 0, 0}) +                                 // eSVR
    B("8BIMeVER") + B({0, 0, 0, 0, 0, 0, 0, 4, 0x00, 0x08, 0x06, 0x01}) +                      // eVER
    B("8BIMeINF") + B({0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0}) +                                  // eINF
    B("8BIMeGLO") + B({0, 0, 0, 0, 0, 0, 0, 4, 2, 0, 0, 0}) +                                  // eGLO
    B("8BIMeGL2") + B({0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0x14, 0}) +                               // eGL2
    B("8BIMeMNA") + B({0, 0, 0, 0, 0, 0, 0, 20, 16}) + B("OrvaneVeilShadow") + B({0, 0, 0}) +  // eMNA
    B("8BIMaeFL") + B({0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 8});                                   // aeFL

// The macOS bundle's resource file: a header (data at 256, 302 bytes of
// it; the map at 558, 50 bytes), 240 zero bytes, the list after its
// length, and a map of one type, 'PiPL', holding one resource: id 16000,
// no name, attributes 0, its data at 0.
const Bytes kMacResourceFile =
    B({0, 0, 1, 0, 0, 0, 2, 0x2E, 0, 0, 1, 0x2E, 0, 0, 0, 50}) + Bytes(240, 0) +  //
    B({0, 0, 1, 0x2A}) + kMacList +                                               // 298 bytes of data
    B({0, 0, 1, 0, 0, 0, 2, 0x2E, 0, 0, 1, 0x2E, 0, 0, 0, 50}) +                  // the header again
    B({0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0, 50}) +           // next map, file, attributes, type list at 28, names at 50
    B({0, 0}) + B("PiPL") + B({0, 0, 0, 10}) +            // one type, one resource, its references 10 bytes on
    B({0x3E, 0x80, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});  // 16000, no name, attributes 0, data at 0

// A target's list and the bytes it must be, for the tests by platform.
const Bytes &SpecifiedList(Target target) { return target == Target::kWindowsX64 ? kWindowsList : kMacList; }

TEST_P(PropertyListByPlatform, IsTheSpecifiedBytes) {
    EXPECT_EQ(orvane::pipl::PluginPropertyList(GetParam().target), SpecifiedList(GetParam().target));
}

INSTANTIATE_TEST_SUITE_P(Platforms, PropertyListByPlatform, ::testing::ValuesIn(kPlatforms),
                         [](const auto &info) { return std::string(info.param.name); });

// Encoding of single values, including the rounding of strings.
struct ValueCase {
    const char *name;
    Value value;
    ByteOrder order;
    Bytes expected;
};

const ValueCase kValues[] = {
    {"EmptyPascalString", Value::PascalString(""), ByteOrder::kLittle, B({0, 0, 0, 0})},
    {"PascalStringOfThree", Value::PascalString("abc"), ByteOrder::kBig, B({3}) + B("abc")},
    {"PascalStringOfFour", Value::PascalString("abcd"), ByteOrder::kBig, B({4}) + B("abcd") + B({0, 0, 0})},
    {"EmptyCString", Value::CString(""), ByteOrder::kBig, B({0, 0, 0, 0})},
    {"CStringOfThree", Value::CString("abc"), ByteOrder::kLittle, B("abc") + B({0})},
    {"CStringOfFour", Value::CString("abcd"), ByteOrder::kLittle, B("abcd") + B({0, 0, 0, 0})},
    {"ShortLittle", Value::Short(0x1234), ByteOrder::kLittle, B({0x34, 0x12})},
    {"ShortBig", Value::Short(0xFFFF), ByteOrder::kBig, B({0xFF, 0xFF})},
    {"PairLittle", Value::VersionPair(0x0102, 3), ByteOrder::kLittle, B({2, 1, 3, 0})},
    {"PairBig", Value::VersionPair(0x0102, 3), ByteOrder::kBig, B({1, 2, 0, 3})},
    {"LongLittle", Value::Long(0x80000001u), ByteOrder::kLittle, B({1, 0, 0, 0x80})},
    {"CodeBig", Value::Code(orvane::pipl::FourCC("eFKT")), ByteOrder::kBig, B("eFKT")},
    {"CodeLittle", Value::Code(orvane::pipl::FourCC("eFKT")), ByteOrder::kLittle, B("TKFe")},
};

class ValueEncoding : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueEncoding, GivesTheBytes) {
    EXPECT_EQ(orvane::pipl::EncodeValue(GetParam().value, GetParam().order), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, ValueEncoding, ::testing::ValuesIn(kValues),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ValueEncoding, LongestPascalStringFillsItsLengthByte) {
    const Bytes bytes = orvane::pipl::EncodeValue(Value::PascalString(std::string(255, 'x')), ByteOrder::kBig);
    ASSERT_EQ(bytes.size(), 256u);
    EXPECT_EQ(bytes[0], 255);
    EXPECT_EQ(bytes[255], 'x');
}

struct BadValue {
    const char *name;
    Value value;
};
const BadValue kBadValues[] = {
    {"PascalStringTooLong", Value::PascalString(std::string(256, 'x'))},
    {"PascalStringWithZero", Value::PascalString(std::string("a\0b", 3))},
    {"CStringWithZero", Value::CString(std::string("a\0b", 3))},
    {"ShortTooWide", Value::Short(0x10000)},
    {"MajorTooWide", Value::VersionPair(0x10000, 0)},
    {"MinorTooWide", Value::VersionPair(1, 0x10000)},
};

class ValueRejection : public ::testing::TestWithParam<BadValue> {};

TEST_P(ValueRejection, ThrowsInsteadOfWritingAWrongList) {
    EXPECT_THROW(orvane::pipl::EncodeValue(GetParam().value, ByteOrder::kLittle), std::invalid_argument);
    EXPECT_THROW(orvane::pipl::EncodeList({{orvane::pipl::FourCC("test"), GetParam().value}}, ByteOrder::kBig),
                 std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Values, ValueRejection, ::testing::ValuesIn(kBadValues),
                         [](const auto &info) { return std::string(info.param.name); });

// The reader itself must notice damage, or the checks above prove nothing.
struct Damage {
    const char *name;
    void (*apply)(Bytes &);
};
const Damage kDamages[] = {
    {"Truncated", [](Bytes &b) { b.resize(b.size() - 1); }},
    {"ExtraByte", [](Bytes &b) { b.push_back(0); }},
    {"CountTooHigh", [](Bytes &b) { b[6] = 13; }},
    {"NonzeroPadding", [](Bytes &b) { b[200] = 1; }},  // the two bytes after eINF's value
    {"NoHeader", [](Bytes &b) { b.resize(9); }},
    {"LengthPastEnd", [](Bytes &b) { b[10 + 15] = 0x7F; }},
};

class ListReaderDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(ListReaderDamage, IsReported) {
    Bytes bytes = orvane::pipl::PluginPropertyList(Target::kWindowsX64);
    GetParam().apply(bytes);
    EXPECT_THROW(packaging::ReadList(bytes, Endian::kLittle), packaging::ListError);
}

INSTANTIATE_TEST_SUITE_P(Damages, ListReaderDamage, ::testing::ValuesIn(kDamages),
                         [](const auto &info) { return std::string(info.param.name); });

struct WrongValue {
    const char *name;
    size_t offset;  // in the Windows list
    uint8_t byte;
};
// Changes that keep the list well formed but make it wrong.
const WrongValue kWrongValues[] = {
    {"Vendor", 10, 'X'},
    {"KindValue", 10 + 16, 'X'},
    {"FirstHeaderField", 0, 2},
    {"HeaderVersion", 2, 1},
    {"PropertyId", 10 + 8, 1},
    {"NameLengthByte", 10 + 20 + 16, 15},
    {"NameRounding", 10 + 20 + 16 + 17, 1},                        // the zeros after "OrvaneVeilShadow"
    {"VersionWord", 10 + 20 + 36 + 24 + 32 + 20 + 20 + 16, 0x02},  // eVER's first byte
};

class ListDifferences : public ::testing::TestWithParam<WrongValue> {};

TEST_P(ListDifferences, AreFound) {
    Bytes bytes = orvane::pipl::PluginPropertyList(Target::kWindowsX64);
    ASSERT_LT(GetParam().offset, bytes.size());
    ASSERT_NE(bytes[GetParam().offset], GetParam().byte);
    bytes[GetParam().offset] = GetParam().byte;
    EXPECT_FALSE(packaging::Differences(packaging::ReadList(bytes, Endian::kLittle), Platform::kWindows).empty());
}

INSTANTIATE_TEST_SUITE_P(Values, ListDifferences, ::testing::ValuesIn(kWrongValues),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ListDifferences, WrongPlatformIsFound) {
    const Bytes mac = orvane::pipl::PluginPropertyList(Target::kMacX64);
    EXPECT_FALSE(packaging::Differences(packaging::ReadList(mac, Endian::kBig), Platform::kWindows).empty());
}

// The files the build wrote, which the resource script and the bundle use.
TEST(GeneratedFiles, AreTheSpecifiedBytes) {
    EXPECT_EQ(ReadFileBytes(ORVANE_PIPL_WINDOWS), kWindowsList);
    EXPECT_EQ(ReadFileBytes(ORVANE_PIPL_MAC), kMacList);
    EXPECT_EQ(ReadFileBytes(ORVANE_PIPL_MAC_RSRC), kMacResourceFile);
}

// The resource file as the reader of these tests finds it.
TEST(GeneratedFiles, MacResourceFileHoldsTheListAsPiPL16000) {
    const std::vector<packaging::FileResource> resources =
        packaging::ReadResourceFile(ReadFileBytes(ORVANE_PIPL_MAC_RSRC));
    ASSERT_EQ(resources.size(), 1u);
    EXPECT_EQ(resources[0].type, "PiPL");
    EXPECT_EQ(resources[0].id, 16000);
    EXPECT_FALSE(resources[0].has_name);
    EXPECT_EQ(resources[0].data, kMacList);
    EXPECT_TRUE(packaging::Differences(packaging::ReadList(resources[0].data, Endian::kBig), Platform::kMac).empty());
}

// The generator program: its exit codes and that it leaves no partial files.
std::string Quoted(const std::string &s) { return "'" + s + "'"; }

int RunGenerator(const std::string &arguments) {
    veilshadow::ProcessSetup spec;
    spec.argv = {"sh", "-c", Quoted(ORVANE_PIPL_GEN) + " " + arguments};
    spec.out = spec.err = veilshadow::ProcessStream::kNull;
    return veilshadow::RunProcess(spec).exit_code;
}

std::string ScratchDir() {
    const std::filesystem::path dir = std::filesystem::path(ORVANE_PACKAGING_SCRATCH) /
                                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

bool Exists(const std::string &path) { return std::ifstream(path).good(); }

struct CommandLine {
    const char *name;
    const char *arguments;
    int status;
};
const CommandLine kCommandLines[] = {
    {"Nothing", "", 2},
    {"UnknownOption", "--linux x", 2},
    {"MissingFile", "--windows", 2},
    {"Help", "--help", 0},
};

class GeneratorCommandLine : public ::testing::TestWithParam<CommandLine> {};

TEST_P(GeneratorCommandLine, ExitsWithTheStatus) { EXPECT_EQ(RunGenerator(GetParam().arguments), GetParam().status); }

INSTANTIATE_TEST_SUITE_P(Lines, GeneratorCommandLine, ::testing::ValuesIn(kCommandLines),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Generator, WritesEachFileItIsAskedFor) {
    const std::string dir = ScratchDir();
    ASSERT_EQ(RunGenerator("--windows " + Quoted(dir + "/w.pipl") + " --mac-rsrc " + Quoted(dir + "/m.rsrc")), 0);
    EXPECT_EQ(ReadFileBytes(dir + "/w.pipl"), kWindowsList);
    EXPECT_EQ(ReadFileBytes(dir + "/m.rsrc"), kMacResourceFile);
    EXPECT_FALSE(Exists(dir + "/w.pipl.tmp"));
}

TEST(Generator, FailsOnAnUnwritableTargetAndLeavesNothingBehind) {
    const std::string dir = ScratchDir();
    EXPECT_EQ(RunGenerator("--windows " + Quoted(dir + "/missing/w.pipl") + " --mac-pipl " + Quoted(dir + "/m.pipl")),
              1);
    EXPECT_FALSE(Exists(dir + "/missing/w.pipl"));
    // The files that could be written still are.
    EXPECT_EQ(ReadFileBytes(dir + "/m.pipl"), kMacList);
}

}  // namespace
