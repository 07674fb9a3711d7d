// The plug-in property lists and the macOS resource file as they must be,
// every byte written out by hand, for the tests of the generator and of the
// module that ships the list.
#ifndef ORVANE_TESTS_PACKAGING_PROPERTY_LIST_BYTES_H
#define ORVANE_TESTS_PACKAGING_PROPERTY_LIST_BYTES_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace packaging {

using Bytes = std::vector<uint8_t>;

// Bytes spelled out as text plus numbers, e.g. B("MIB8") + B({0, 1}).
inline Bytes B(const std::string &text) { return Bytes(text.begin(), text.end()); }
inline Bytes B(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(uint8_t(v));
    return out;
}
inline Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The lists as they must be, every byte written out: four-character codes
// as numbers in the list's byte order (so reversed in the Windows list),
// then id 0, the length, the value and its rounding. The values: kind
// 'eFKT' (an effect); name and match name "OrvaneVeilShadow"; category
// "Orvane"; the entry point the module exports; list format 2.0; effect
// API 13.0; version 1.0.0, release, build 1 (0x00080601, as global setup
// reports it); no info flags; out flags: deep colour; out flags 2: smart
// render (0x400) and float colour (0x1000); aeFL 8.
inline const Bytes kWindowsList =
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
inline const Bytes kMacList =
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
inline const Bytes kMacResourceFile =
    B({0, 0, 1, 0, 0, 0, 2, 0x2E, 0, 0, 1, 0x2E, 0, 0, 0, 50}) + Bytes(240, 0) +  //
    B({0, 0, 1, 0x2A}) + kMacList +                                               // 298 bytes of data
    B({0, 0, 1, 0, 0, 0, 2, 0x2E, 0, 0, 1, 0x2E, 0, 0, 0, 50}) +                  // the header again
    B({0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0, 50}) +           // next map, file, attributes, type list at 28, names at 50
    B({0, 0}) + B("PiPL") + B({0, 0, 0, 10}) +            // one type, one resource, its references 10 bytes on
    B({0x3E, 0x80, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});  // 16000, no name, attributes 0, data at 0

}  // namespace packaging

#endif
