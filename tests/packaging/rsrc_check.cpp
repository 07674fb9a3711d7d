// Checks a macOS bundle's resource file: exactly one resource, 'PiPL' 16000,
// holding the big-endian property list with every property the host needs.
// Run on the bundle the macOS build produced.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "PropertyListReader.h"
#include "ResourceFileReader.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvane_rsrc_check FILE.rsrc\n");
        return 2;
    }
    const std::string path = argv[1];
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot open\n", path.c_str());
        return 1;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
        const std::vector<packaging::FileResource> resources = packaging::ReadResourceFile(bytes);
        if (resources.size() != 1 || resources[0].type != "PiPL" || resources[0].id != 16000) {
            std::fprintf(stderr, "%s: expected one resource 'PiPL' 16000, found %zu:\n", path.c_str(),
                         resources.size());
            for (const packaging::FileResource &r : resources)
                std::fprintf(stderr, "  '%s' %d\n", r.type.c_str(), r.id);
            return 1;
        }
        const packaging::StoredList list = packaging::ReadList(resources[0].data, packaging::Endian::kBig);
        const std::vector<std::string> differences = packaging::Differences(list, packaging::Platform::kMac);
        for (const std::string &d : differences) std::fprintf(stderr, "%s: %s\n", path.c_str(), d.c_str());
        if (!differences.empty()) return 1;
        std::printf("%s: 'PiPL' 16000, %zu bytes, %zu properties, entry point \"%s\" under 'mi64'\n", path.c_str(),
                    resources[0].data.size(), list.properties.size(),
                    reinterpret_cast<const char *>(packaging::Find(list, "mi64").value.data()));
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
        return 1;
    }
}
