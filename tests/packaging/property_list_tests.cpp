// The property list the build generates: every byte against the lists
// written out in PropertyListBytes.h, its values as the tests' own reader finds them, and the
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
#include "PropertyListBytes.h"
#include "PropertyListReader.h"
#include "ResourceFileReader.h"
#include "TestProcess.h"

namespace {

using orvane::pipl::ByteOrder;
using orvane::pipl::Target;
using orvane::pipl::Value;
using packaging::B;
using packaging::Bytes;
using packaging::Endian;
using packaging::kMacList;
using packaging::kMacResourceFile;
using packaging::kWindowsList;
using packaging::operator+;
using packaging::Platform;

Bytes ReadFileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

// A target's list and the bytes it must be, for the tests by platform.
const Bytes &ExpectedList(Target target) { return target == Target::kWindowsX64 ? kWindowsList : kMacList; }

TEST_P(PropertyListByPlatform, IsTheBytesWrittenOut) {
    EXPECT_EQ(orvane::pipl::PluginPropertyList(GetParam().target), ExpectedList(GetParam().target));
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
TEST(GeneratedFiles, AreTheBytesWrittenOut) {
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
