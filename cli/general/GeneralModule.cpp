// The general module's one entry, which the program's loader looks up
// (files/GeneralLoader.cpp). The module takes everything else it calls
// (the format rows, TempFile, the sample codecs) from the program that
// loads it, which exports them, so that there is one of each.
#include "GeneralCodecs.h"

#include "OrvaneVersion.h"

#include <cstddef>

// The table, for a program of the same version whose table has the same
// size; nullptr for any other.
extern "C" __attribute__((visibility("default"))) const veilshadow::GeneralCodec *veilshadow_general_codec(
    unsigned long version, std::size_t table_size) {
    if (version != orvane::kPluginVersion || table_size != sizeof(veilshadow::GeneralCodec)) return nullptr;
    return &veilshadow::GeneralCodecTable();
}
