#include "PropertyList.h"

#include <stdexcept>

#include "OrvaneVersion.h"

namespace orvane::pipl {

namespace {

void Put16(std::vector<uint8_t> &out, uint32_t value, ByteOrder order) {
    if (value > 0xFFFF) throw std::invalid_argument("value " + std::to_string(value) + " does not fit 16 bits");
    const uint8_t lo = uint8_t(value), hi = uint8_t(value >> 8);
    if (order == ByteOrder::kLittle) {
        out.insert(out.end(), {lo, hi});
    } else {
        out.insert(out.end(), {hi, lo});
    }
}

void Put32(std::vector<uint8_t> &out, uint32_t value, ByteOrder order) {
    for (int i = 0; i < 4; ++i) {
        const int shift = order == ByteOrder::kLittle ? 8 * i : 8 * (3 - i);
        out.push_back(uint8_t(value >> shift));
    }
}

void PadToFour(std::vector<uint8_t> &out, size_t from) {
    while ((out.size() - from) % 4 != 0) out.push_back(0);
}

void CheckNoZero(const std::string &text) {
    if (text.find('\0') != std::string::npos) throw std::invalid_argument("string value holds a zero byte");
}

}  // namespace

std::string FourCCName(uint32_t code) {
    std::string name;
    for (int shift = 24; shift >= 0; shift -= 8) name.push_back(char(code >> shift));
    return name;
}

ByteOrder OrderOf(Target target) { return target == Target::kWindowsX64 ? ByteOrder::kLittle : ByteOrder::kBig; }

uint32_t CodeEntryKey(Target target) { return target == Target::kWindowsX64 ? FourCC("8664") : FourCC("mi64"); }

std::vector<Property> PluginProperties(Target target) {
    return {
        {FourCC("kind"), Value::Code(FourCC("eFKT"))},
        {FourCC("name"), Value::PascalString(kPluginName)},
        {FourCC("catg"), Value::PascalString(kCategory)},
        {CodeEntryKey(target), Value::CString(kEntryPointName)},
        {FourCC("ePVR"), Value::VersionPair(kPropertyListMajor, kPropertyListMinor)},
        {FourCC("eSVR"), Value::VersionPair(kEffectApiMajor, kEffectApiMinor)},
        {FourCC("eVER"), Value::Long(kPluginVersion)},
        {FourCC("eINF"), Value::Short(0)},
        {FourCC("eGLO"), Value::Long(uint32_t(kOutFlags))},
        {FourCC("eGL2"), Value::Long(uint32_t(kOutFlags2))},
        {FourCC("eMNA"), Value::PascalString(kMatchName)},
        {FourCC("aeFL"), Value::Long(8)},
    };
}

std::vector<uint8_t> EncodeValue(const Value &value, ByteOrder order) {
    std::vector<uint8_t> out;
    switch (value.kind) {
        case Value::Kind::kCode:
        case Value::Kind::kLong:
            Put32(out, value.number, order);
            break;
        case Value::Kind::kShort:
            Put16(out, value.number, order);
            break;
        case Value::Kind::kVersionPair:
            Put16(out, value.number, order);
            Put16(out, value.minor, order);
            break;
        case Value::Kind::kPascalString:
            CheckNoZero(value.text);
            if (value.text.size() > 255)
                throw std::invalid_argument("string \"" + value.text + "\" is longer than 255");
            out.push_back(uint8_t(value.text.size()));
            out.insert(out.end(), value.text.begin(), value.text.end());
            PadToFour(out, 0);
            break;
        case Value::Kind::kCString:
            CheckNoZero(value.text);
            out.insert(out.end(), value.text.begin(), value.text.end());
            out.push_back(0);
            PadToFour(out, 0);
            break;
    }
    return out;
}

std::vector<uint8_t> EncodeList(const std::vector<Property> &properties, ByteOrder order) {
    std::vector<uint8_t> out;
    Put16(out, kListHeaderFirst, order);
    Put32(out, kListHeaderVersion, order);
    Put32(out, uint32_t(properties.size()), order);
    for (const Property &property : properties) {
        const std::vector<uint8_t> value = EncodeValue(property.value, order);
        Put32(out, kVendor, order);
        Put32(out, property.key, order);
        Put32(out, 0, order);  // id
        Put32(out, uint32_t(value.size()), order);
        const size_t start = out.size();
        out.insert(out.end(), value.begin(), value.end());
        PadToFour(out, start);
    }
    return out;
}

std::vector<uint8_t> PluginPropertyList(Target target) { return EncodeList(PluginProperties(target), OrderOf(target)); }

}  // namespace orvane::pipl
