// Reads a plug-in property list back from its bytes and checks it against
// what the host must find in it. Written apart from the generator in tools/:
// the two agree only if both follow the layout.
#ifndef ORVANE_TESTS_PACKAGING_PROPERTY_LIST_READER_H
#define ORVANE_TESTS_PACKAGING_PROPERTY_LIST_READER_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace packaging {

enum class Endian { kLittle, kBig };

// One property as stored: the four-character codes as text in their
// natural spelling ("8BIM", "kind"), the value's bytes as counted by the
// length field, and the zero bytes after it up to the next multiple of 4.
struct StoredProperty {
    std::string vendor;
    std::string key;
    uint32_t id = 0;
    uint32_t length = 0;
    std::vector<uint8_t> value;
    size_t padding = 0;
};

struct StoredList {
    uint16_t first = 0;    // the header's 16-bit field
    uint32_t version = 0;  // the header's 32-bit field
    std::vector<StoredProperty> properties;
};

struct ListError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws ListError naming the offset when the bytes are not a well-formed
// list: too short, a property running past the end, nonzero padding, bytes
// left over after the last property.
StoredList ReadList(const std::vector<uint8_t> &bytes, Endian endian);

// Number helpers in the list's byte order.
uint16_t Read16(const uint8_t *p, Endian endian);
uint32_t Read32(const uint8_t *p, Endian endian);
// A four-character code stored as a number, in its natural spelling.
std::string ReadCode(const uint8_t *p, Endian endian);

// What the host must find, for the Windows x64 DLL ('8664', little-endian)
// or the macOS x86-64 bundle ('mi64', big-endian).
enum class Platform { kWindows, kMac };
Endian EndianOf(Platform platform);

struct ExpectedProperty {
    enum class Form { kCode, kPascalString, kCString, kVersionPair, kLong, kShort };
    const char *key;
    Form form;
    uint32_t number;  // code (as a number), long, short, major of a pair
    uint32_t minor;
    const char *text;
};
std::vector<ExpectedProperty> ExpectedProperties(Platform platform);

// Every difference between a stored list and the expectation, one message
// each (wrong header, count, order, vendor, id, length, value, padding);
// empty when the list is exactly right.
std::vector<std::string> Differences(const StoredList &list, Platform platform);

// Looks a property up by key; throws ListError when it is absent.
const StoredProperty &Find(const StoredList &list, const std::string &key);

}  // namespace packaging

#endif
