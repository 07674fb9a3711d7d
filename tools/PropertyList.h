// The plug-in property list: the resource by which the host finds the effect,
// its name, category, entry point, version and capability words before it
// loads the code.
//
// The list ships in two byte orders: little-endian as a "PIPL" resource in the
// Windows DLL, and big-endian as a 'PiPL' resource in the resource file of the
// macOS bundle. Both are built from OrvaneVersion.h, the header global setup
// reads, so the list and the running plug-in can never disagree.
#ifndef ORVANE_TOOLS_PROPERTY_LIST_H
#define ORVANE_TOOLS_PROPERTY_LIST_H

#include <cstdint>
#include <string>
#include <vector>

namespace orvane::pipl {

// A four-character code as the number whose big-endian bytes spell it.
constexpr uint32_t FourCC(const char (&code)[5]) {
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) | (uint32_t(uint8_t(code[2])) << 8) |
           uint32_t(uint8_t(code[3]));
}

// The four characters of a code, for messages.
std::string FourCCName(uint32_t code);

enum class ByteOrder { kLittle, kBig };

// Which build the list describes: the byte order and the code-entry key
// ('8664' for Windows x64, 'mi64' for the x86-64 macOS bundle) follow from it.
enum class Target { kWindowsX64, kMacX64 };

ByteOrder OrderOf(Target target);
uint32_t CodeEntryKey(Target target);

// Every property carries this vendor code.
inline constexpr uint32_t kVendor = FourCC("8BIM");
// The resource that holds the list: type "PIPL" on Windows (language 1033),
// type 'PiPL' in the macOS resource file; identifier 16000 in both.
inline constexpr int16_t kResourceId = 16000;
inline constexpr uint16_t kWindowsLanguage = 1033;
inline constexpr uint32_t kMacResourceType = FourCC("PiPL");
// The list's own header: a 16-bit 1 and a 32-bit 0 before the count.
inline constexpr uint16_t kListHeaderFirst = 1;
inline constexpr uint32_t kListHeaderVersion = 0;

// One property's value, before it is encoded.
struct Value {
    enum class Kind {
        kCode,          // a four-character code, 32 bits
        kPascalString,  // length byte and characters, rounded up to 4 bytes
        kCString,       // characters and a zero, rounded up to 4 bytes
        kVersionPair,   // two 16-bit numbers, major first
        kLong,          // a 32-bit number
        kShort,         // a 16-bit number; length 2, then two bytes of rounding
    };
    Kind kind = Kind::kLong;
    uint32_t number = 0;  // kCode, kLong, kShort; the major of kVersionPair
    uint32_t minor = 0;   // kVersionPair
    std::string text;     // the strings

    static Value Code(uint32_t code) { return {Kind::kCode, code, 0, {}}; }
    static Value PascalString(std::string s) { return {Kind::kPascalString, 0, 0, std::move(s)}; }
    static Value CString(std::string s) { return {Kind::kCString, 0, 0, std::move(s)}; }
    static Value VersionPair(uint32_t major, uint32_t minor) { return {Kind::kVersionPair, major, minor, {}}; }
    static Value Long(uint32_t n) { return {Kind::kLong, n, 0, {}}; }
    static Value Short(uint32_t n) { return {Kind::kShort, n, 0, {}}; }
};

struct Property {
    uint32_t key;
    Value value;
};

// The plug-in's twelve properties, in the order the host expects them.
std::vector<Property> PluginProperties(Target target);

// The bytes of one property's value (strings already rounded up) and the
// length written in front of it. Throws std::invalid_argument for a value
// that does not fit its form (a string too long for its length byte or
// holding a zero, a number too wide for 16 bits).
std::vector<uint8_t> EncodeValue(const Value &value, ByteOrder order);

// A whole list: header, then each property as vendor, key, id 0, length,
// value, and zero bytes up to the next multiple of four.
std::vector<uint8_t> EncodeList(const std::vector<Property> &properties, ByteOrder order);

// The plug-in's list for one target.
std::vector<uint8_t> PluginPropertyList(Target target);

}  // namespace orvane::pipl

#endif
