// The built plug-in module as the host meets it: loaded by path, its
// property list read back (on Windows through the resource API, from the
// DLL itself), global setup's words compared with the list, and frames
// rendered in all three depths through EntryPointFunc. The Windows build of
// this program runs under Wine against the real .aex.
#include <gtest/gtest.h>

#include <RenderHost/RenderHost.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include "PropertyListBytes.h"
#include "PropertyListReader.h"

namespace {

using packaging::Bytes;
using renderhost::Depth;

// Paths are baked in by the build as this machine spells them; a Windows
// program running under Wine sees the root of this machine as drive Z:.
std::string LocalPath(std::string path) {
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        for (char &c : path) c = c == '/' ? '\\' : c;
        path = "Z:" + path;
    }
#endif
    return path;
}

const std::string kPluginPath = LocalPath(ORVANE_PLUGIN_PATH);

#ifdef _WIN32

// The module loaded a second time, as the host does to read its resources.
class LoadedModule {
public:
    LoadedModule() : module_(LoadLibraryA(kPluginPath.c_str())) {}
    ~LoadedModule() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    LoadedModule(const LoadedModule &) = delete;
    LoadedModule &operator=(const LoadedModule &) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

constexpr WORD kEnglishUS = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The "PIPL" 16000 resource in language 1033, as the host reads it; throws
// when any step of the resource API fails.
Bytes PropertyListResource(HMODULE module) {
    HRSRC info = FindResourceExA(module, "PIPL", MAKEINTRESOURCEA(16000), kEnglishUS);
    if (info == nullptr) throw std::runtime_error("FindResourceEx: no PIPL 16000 in language 1033");
    const DWORD size = SizeofResource(module, info);
    HGLOBAL loaded = LoadResource(module, info);
    const void *data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr || size == 0) throw std::runtime_error("LoadResource/LockResource failed");
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    return Bytes(bytes, bytes + size);
}

// The list the host finds: the DLL's own resource.
Bytes ShippedList() {
    LoadedModule module;
    if (module.get() == nullptr) throw std::runtime_error("cannot load " + kPluginPath);
    return PropertyListResource(module.get());
}

#else

// Outside Windows the module carries no list; the one the build generated
// for the Windows DLL stands in.
Bytes ShippedList() {
    std::ifstream in(ORVANE_PIPL_WINDOWS, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot open ") + ORVANE_PIPL_WINDOWS);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#endif

// The list the host finds is the one written out byte by byte, and the
// tests' reader finds in it what the host must.
TEST(ShippedPropertyList, IsTheListWrittenOut) {
    const Bytes shipped = ShippedList();
    EXPECT_EQ(shipped, packaging::kWindowsList);
    const packaging::StoredList list = packaging::ReadList(shipped, packaging::Endian::kLittle);
    const std::vector<std::string> differences = packaging::Differences(list, packaging::Platform::kWindows);
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
}

#ifdef _WIN32

std::vector<std::string> ResourceNames(HMODULE module, const char *type) {
    std::vector<std::string> names;
    EnumResourceNamesA(
        module, type,
        [](HMODULE, LPCSTR, LPSTR name, LONG_PTR param) -> BOOL {
            auto &out = *reinterpret_cast<std::vector<std::string> *>(param);
            out.push_back(IS_INTRESOURCE(name) ? "#" + std::to_string(uintptr_t(name)) : std::string(name));
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&names));
    return names;
}

std::vector<WORD> ResourceLanguages(HMODULE module, const char *type, LPCSTR name) {
    std::vector<WORD> languages;
    EnumResourceLanguagesA(
        module, type, name,
        [](HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR param) -> BOOL {
            reinterpret_cast<std::vector<WORD> *>(param)->push_back(language);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

TEST(WindowsResources, HoldOnePropertyListInOneLanguage) {
    LoadedModule module;
    ASSERT_NE(module.get(), nullptr) << kPluginPath;
    EXPECT_EQ(ResourceNames(module.get(), "PIPL"), std::vector<std::string>{"#16000"});
    EXPECT_EQ(ResourceLanguages(module.get(), "PIPL", MAKEINTRESOURCEA(16000)), std::vector<WORD>{1033});
}

TEST(WindowsResources, ListNamesTheFunctionTheModuleExports) {
    LoadedModule module;
    ASSERT_NE(module.get(), nullptr) << kPluginPath;
    const packaging::StoredList list =
        packaging::ReadList(PropertyListResource(module.get()), packaging::Endian::kLittle);
    const char *entry_name = reinterpret_cast<const char *>(packaging::Find(list, "8664").value.data());
    EXPECT_STREQ(entry_name, "EntryPointFunc");
    const FARPROC entry = GetProcAddress(module.get(), entry_name);
    ASSERT_NE(entry, nullptr);
    // The render host resolves the same function in the same module.
    const renderhost::PluginModule loaded = renderhost::PluginModule::Load(kPluginPath);
    EXPECT_EQ(reinterpret_cast<void *>(loaded.entry()), reinterpret_cast<void *>(entry));
    // Only the plain name: no decorated or ordinal-only variants.
    EXPECT_EQ(GetProcAddress(module.get(), "_EntryPointFunc"), nullptr);
    EXPECT_EQ(GetProcAddress(module.get(), "EntryPointFunc@24"), nullptr);
}

#endif

TEST(PluginModule, GlobalSetupWritesTheWordsOfTheList) {
    const packaging::StoredList list = packaging::ReadList(ShippedList(), packaging::Endian::kLittle);
    auto word = [&](const char *key) {
        return packaging::Read32(packaging::Find(list, key).value.data(), packaging::Endian::kLittle);
    };
    renderhost::Host host;
    const renderhost::PluginModule module = renderhost::PluginModule::Load(kPluginPath);
    {
        renderhost::Effect effect(host, module);
        ASSERT_EQ(effect.GlobalSetup(), PF_Err_NONE);
        EXPECT_EQ(effect.out_data().my_version, word("eVER"));
        EXPECT_EQ(uint32_t(effect.out_data().out_flags), word("eGLO"));
        EXPECT_EQ(uint32_t(effect.out_data().out_flags2), word("eGL2"));
        EXPECT_EQ(effect.GlobalSetdown(), PF_Err_NONE);
    }
    EXPECT_TRUE(host.IsClean()) << host.LeakReport();
}

// Frames through EntryPointFunc: every pixel of the input is I, every pixel
// of the untouched layer L; the result is known for each depth.
struct RenderCase {
    const char *name;
    Depth depth;
    double input[4];  // alpha first
    double layer[4];
    int percent;  // the Opacity slider
    double expected[4];
};

const RenderCase kRenders[] = {
    {"Eight0", Depth::k8, {255, 128, 128, 128}, {128, 255, 255, 255}, 0, {128, 255, 255, 255}},
    {"Eight25", Depth::k8, {255, 128, 128, 128}, {128, 255, 255, 255}, 25, {159, 205, 205, 205}},
    {"Eight50", Depth::k8, {255, 128, 128, 128}, {128, 255, 255, 255}, 50, {191, 170, 170, 170}},
    {"Eight75", Depth::k8, {255, 128, 128, 128}, {128, 255, 255, 255}, 75, {223, 146, 146, 146}},
    {"Eight100", Depth::k8, {255, 128, 128, 128}, {128, 255, 255, 255}, 100, {255, 128, 128, 128}},
    {"EightShadowColourLimited", Depth::k8, {200, 60, 90, 120}, {100, 200, 100, 50}, 50, {149, 134, 93, 96}},
    {"EightClearLayerPassesInput", Depth::k8, {200, 60, 90, 120}, {0, 1, 2, 3}, 50, {200, 60, 90, 120}},
    {"Sixteen0",
     Depth::k16,
     {32768, 16384, 16384, 16384},
     {16384, 32768, 32768, 32768},
     0,
     {16384, 32768, 32768, 32768}},
    {"Sixteen50",
     Depth::k16,
     {32768, 16384, 16384, 16384},
     {16384, 32768, 32768, 32768},
     50,
     {24576, 21845, 21845, 21845}},
    {"Sixteen100",
     Depth::k16,
     {32768, 16384, 16384, 16384},
     {16384, 32768, 32768, 32768},
     100,
     {32768, 16384, 16384, 16384}},
    {"SixteenTruncations",
     Depth::k16,
     {30000, 1000, 2000, 3000},
     {20000, 500, 700, 900},
     100,
     {29999, 999, 1999, 2999}},
    {"Float0", Depth::k32, {1, 0.5, 0.5, 0.5}, {0.5, 1, 1, 1}, 0, {0.5, 1, 1, 1}},
    {"Float50", Depth::k32, {1, 0.5, 0.5, 0.5}, {0.5, 1, 1, 1}, 50, {0.75, 0.6666667f, 0.6666667f, 0.6666667f}},
    {"Float100", Depth::k32, {1, 0.5, 0.5, 0.5}, {0.5, 1, 1, 1}, 100, {1, 0.5, 0.5, 0.5}},
    {"FloatShadowColourUnlimited",
     Depth::k32,
     {1, 0, 0, 0},
     {0.5, 1, 1, 1},
     50,
     {0.75, 0.33333334f, 0.33333334f, 0.33333334f}},
};

template <class P>
P ToPixel(const double (&c)[4]) {
    using Channel = decltype(P::alpha);
    return P{Channel(c[0]), Channel(c[1]), Channel(c[2]), Channel(c[3])};
}

template <class P>
void Fill(renderhost::World &world, const P &pixel) {
    for (A_long y = 0; y < world.height(); ++y) {
        for (A_long x = 0; x < world.width(); ++x) world.At<P>(x, y) = pixel;
    }
}

template <class P>
void RenderAndCheck(const RenderCase &c) {
    constexpr A_long kWidth = 7, kHeight = 5;
    renderhost::Host host;
    const renderhost::PluginModule module = renderhost::PluginModule::Load(kPluginPath);
    renderhost::World input(c.depth, kWidth, kHeight), layer(c.depth, kWidth, kHeight),
        output(c.depth, kWidth, kHeight);
    Fill(input, ToPixel<P>(c.input));
    Fill(layer, ToPixel<P>(c.layer));
    {
        renderhost::Effect effect(host, module);
        ASSERT_EQ(effect.GlobalSetup(), PF_Err_NONE);
        ASSERT_EQ(effect.ParamsSetup(), PF_Err_NONE);
        renderhost::FrameSpec frame;
        frame.input = &input;
        frame.layer = &layer;
        frame.output = &output;
        frame.slider = PF_Fixed(c.percent) << 16;
        const renderhost::FrameResult result = effect.RenderFrame(frame);
        EXPECT_EQ(result.pre_render, PF_Err_NONE);
        ASSERT_TRUE(result.render_sent);
        EXPECT_EQ(result.render, PF_Err_NONE);
        EXPECT_EQ(effect.GlobalSetdown(), PF_Err_NONE);
    }
    const P want = ToPixel<P>(c.expected);
    int wrong = 0;
    for (A_long y = 0; y < kHeight; ++y) {
        for (A_long x = 0; x < kWidth; ++x) {
            const P &got = output.At<P>(x, y);
            const bool same =
                got.alpha == want.alpha && got.red == want.red && got.green == want.green && got.blue == want.blue;
            if (!same && ++wrong <= 3) {
                ADD_FAILURE() << "pixel (" << x << ", " << y << "): got (" << +got.alpha << ", " << +got.red << ", "
                              << +got.green << ", " << +got.blue << "), want (" << +want.alpha << ", " << +want.red
                              << ", " << +want.green << ", " << +want.blue << ")";
            }
        }
    }
    EXPECT_EQ(wrong, 0) << "pixels differing from the expected result";
    EXPECT_TRUE(output.PaddingIntact());
    EXPECT_TRUE(host.IsClean()) << host.LeakReport();
}

class RenderThroughEntryPoint : public ::testing::TestWithParam<RenderCase> {};

TEST_P(RenderThroughEntryPoint, GivesTheExpectedPixels) {
    const RenderCase &c = GetParam();
    SCOPED_TRACE(renderhost::DepthName(c.depth));
    switch (c.depth) {
        case Depth::k8:
            RenderAndCheck<PF_Pixel>(c);
            break;
        case Depth::k16:
            RenderAndCheck<PF_Pixel16>(c);
            break;
        case Depth::k32:
            RenderAndCheck<PF_PixelFloat>(c);
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, RenderThroughEntryPoint, ::testing::ValuesIn(kRenders),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
