// The plug-in's identity, version and capability words.
//
// Global setup writes these into the host's out data, and the property-list
// generator writes the same words into the property list the host reads
// before it loads the plug-in, so the two can never differ.
#ifndef ORVANE_PLUGIN_ORVANE_VERSION_H
#define ORVANE_PLUGIN_ORVANE_VERSION_H

#include <stdint.h>

namespace orvane {

constexpr const char kPluginName[] = "OrvaneVeilShadow";
constexpr const char kMatchName[] = "OrvaneVeilShadow";
constexpr const char kCategory[] = "Orvane";
constexpr const char kEntryPointName[] = "EntryPointFunc";

constexpr int kMajorVersion = 1;
constexpr int kMinorVersion = 0;
constexpr int kBugVersion = 0;
constexpr int kStageVersion = 3;  // release
constexpr int kBuildVersion = 1;

// The host's packed version word.
constexpr uint32_t PackVersion(uint32_t major, uint32_t minor, uint32_t bug, uint32_t stage, uint32_t build) {
    return (major << 19) | (minor << 15) | (bug << 11) | (stage << 9) | build;
}
constexpr uint32_t kPluginVersion =
    PackVersion(kMajorVersion, kMinorVersion, kBugVersion, kStageVersion, kBuildVersion);
static_assert(kPluginVersion == 0x80601, "packed version");

// out_flags: deep-colour aware. out_flags2: smart render, float colour.
constexpr int32_t kOutFlags = 0x02000000;
constexpr int32_t kOutFlags2 = 0x400 | 0x1000;

// Property-list versions: the list's own format and the effect API.
constexpr int kPropertyListMajor = 2, kPropertyListMinor = 0;
constexpr int kEffectApiMajor = 13, kEffectApiMinor = 0;

}  // namespace orvane

#endif
