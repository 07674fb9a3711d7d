#include "PropertyListReader.h"

#include <cstdio>
#include <cstring>

namespace packaging {

namespace {

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

size_t RoundUp4(size_t n) { return (n + 3) / 4 * 4; }

}  // namespace

uint16_t Read16(const uint8_t *p, Endian endian) {
    return endian == Endian::kLittle ? uint16_t(p[0] | p[1] << 8) : uint16_t(p[0] << 8 | p[1]);
}

uint32_t Read32(const uint8_t *p, Endian endian) {
    if (endian == Endian::kLittle)
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

std::string ReadCode(const uint8_t *p, Endian endian) {
    const uint32_t code = Read32(p, endian);
    return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

StoredList ReadList(const std::vector<uint8_t> &bytes, Endian endian) {
    constexpr size_t kHeader = 10, kPropertyHeader = 16;
    if (bytes.size() < kHeader) throw ListError("list of " + std::to_string(bytes.size()) + " bytes has no header");
    StoredList list;
    list.first = Read16(&bytes[0], endian);
    list.version = Read32(&bytes[2], endian);
    const uint32_t count = Read32(&bytes[6], endian);
    size_t at = kHeader;
    for (uint32_t i = 0; i < count; ++i) {
        const std::string where = "property " + std::to_string(i) + " at offset " + std::to_string(at);
        if (bytes.size() - at < kPropertyHeader) throw ListError(where + ": list ends inside the property header");
        StoredProperty p;
        p.vendor = ReadCode(&bytes[at], endian);
        p.key = ReadCode(&bytes[at + 4], endian);
        p.id = Read32(&bytes[at + 8], endian);
        p.length = Read32(&bytes[at + 12], endian);
        at += kPropertyHeader;
        if (bytes.size() - at < p.length) throw ListError(where + " ('" + p.key + "'): value runs past the end");
        p.value.assign(bytes.begin() + long(at), bytes.begin() + long(at + p.length));
        at += p.length;
        p.padding = RoundUp4(p.length) - p.length;
        if (bytes.size() - at < p.padding) throw ListError(where + " ('" + p.key + "'): padding runs past the end");
        for (size_t k = 0; k < p.padding; ++k) {
            if (bytes[at + k] != 0) throw ListError(where + " ('" + p.key + "'): padding byte is not zero");
        }
        at += p.padding;
        list.properties.push_back(std::move(p));
    }
    if (at != bytes.size()) {
        throw ListError(std::to_string(bytes.size() - at) + " bytes after the last of " + std::to_string(count) +
                        " properties");
    }
    return list;
}

Endian EndianOf(Platform platform) { return platform == Platform::kWindows ? Endian::kLittle : Endian::kBig; }

std::vector<ExpectedProperty> ExpectedProperties(Platform platform) {
    using F = ExpectedProperty::Form;
    return {
        {"kind", F::kCode, 0, 0, "eFKT"},
        {"name", F::kPascalString, 0, 0, "OrvaneVeilShadow"},
        {"catg", F::kPascalString, 0, 0, "Orvane"},
        {platform == Platform::kWindows ? "8664" : "mi64", F::kCString, 0, 0, "EntryPointFunc"},
        {"ePVR", F::kVersionPair, 2, 0, nullptr},
        {"eSVR", F::kVersionPair, 13, 0, nullptr},
        {"eVER", F::kLong, 0x00080601, 0, nullptr},
        {"eINF", F::kShort, 0, 0, nullptr},
        {"eGLO", F::kLong, 0x02000000, 0, nullptr},
        {"eGL2", F::kLong, 0x00001400, 0, nullptr},
        {"eMNA", F::kPascalString, 0, 0, "OrvaneVeilShadow"},
        {"aeFL", F::kLong, 8, 0, nullptr},
    };
}

std::vector<std::string> Differences(const StoredList &list, Platform platform) {
    using F = ExpectedProperty::Form;
    const Endian endian = EndianOf(platform);
    std::vector<std::string> out;
    if (list.first != 1) out.push_back("header starts with " + std::to_string(list.first) + ", not 1");
    if (list.version != 0) out.push_back("header version " + std::to_string(list.version) + ", not 0");
    const std::vector<ExpectedProperty> expected = ExpectedProperties(platform);
    if (list.properties.size() != expected.size()) {
        out.push_back(std::to_string(list.properties.size()) + " properties, not " + std::to_string(expected.size()));
    }
    for (size_t i = 0; i < expected.size() && i < list.properties.size(); ++i) {
        const ExpectedProperty &e = expected[i];
        const StoredProperty &p = list.properties[i];
        const std::string what = "property " + std::to_string(i) + " '" + p.key + "'";
        auto differ = [&](const std::string &message) { out.push_back(what + ": " + message); };
        if (p.key != e.key) differ(std::string("expected key '") + e.key + "'");
        if (p.vendor != "8BIM") differ("vendor '" + p.vendor + "'");
        if (p.id != 0) differ("id " + std::to_string(p.id));
        const uint8_t *v = p.value.data();
        switch (e.form) {
            case F::kCode:
                if (p.length != 4)
                    differ("length " + std::to_string(p.length) + ", not 4");
                else if (ReadCode(v, endian) != e.text)
                    differ("code '" + ReadCode(v, endian) + "', not '" + e.text + "'");
                break;
            case F::kLong:
                if (p.length != 4)
                    differ("length " + std::to_string(p.length) + ", not 4");
                else if (Read32(v, endian) != e.number)
                    differ("value " + Hex(Read32(v, endian)) + ", not " + Hex(e.number));
                break;
            case F::kShort:
                if (p.length != 2)
                    differ("length " + std::to_string(p.length) + ", not 2");
                else if (Read16(v, endian) != e.number)
                    differ("value " + std::to_string(Read16(v, endian)));
                break;
            case F::kVersionPair:
                if (p.length != 4)
                    differ("length " + std::to_string(p.length) + ", not 4");
                else if (Read16(v, endian) != e.number || Read16(v + 2, endian) != e.minor) {
                    differ("version " + std::to_string(Read16(v, endian)) + "." +
                           std::to_string(Read16(v + 2, endian)) + ", not " + std::to_string(e.number) + "." +
                           std::to_string(e.minor));
                }
                break;
            case F::kPascalString:
            case F::kCString: {
                const size_t n = std::strlen(e.text);
                const bool pascal = e.form == F::kPascalString;
                const size_t used = pascal ? 1 + n : n + 1;  // length byte or terminating zero
                std::vector<uint8_t> want(RoundUp4(used), 0);
                if (pascal) want[0] = uint8_t(n);
                std::memcpy(want.data() + (pascal ? 1 : 0), e.text, n);
                if (p.value != want) {
                    differ("value of " + std::to_string(p.length) + " bytes is not " +
                           (pascal ? "the length-prefixed \"" : "the zero-terminated \"") + e.text + "\" in " +
                           std::to_string(want.size()) + " bytes");
                }
                break;
            }
        }
    }
    return out;
}

const StoredProperty &Find(const StoredList &list, const std::string &key) {
    for (const StoredProperty &p : list.properties) {
        if (p.key == key) return p;
    }
    throw ListError("no property '" + key + "'");
}

}  // namespace packaging
