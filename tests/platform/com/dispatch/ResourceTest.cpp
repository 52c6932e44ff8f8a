// Embedded resources: read by the loaded module's handle or an address inside it, and from the
// file alone; hostile files are refused without a crash.
#include "TestSupport.h"

#include "platform/com/ModuleResources.h"
#include "platform/com/Utf16.h"

#include <objbase.h>

#include <dlfcn.h>
#include <elf.h>

#include <QTemporaryDir>

#include <cstring>
#include <fstream>
#include <vector>

namespace {

using namespace platform::com;

std::string resourceText(HMODULE module, UINT id, LPCSTR type) {
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), type);
    if (found == nullptr)
        return "<none>";
    const auto* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return std::string(data, SizeofResource(module, found));
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class LoadedServer : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryA(TEST_SERVER_PATH);
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override { FreeLibrary(module_); }
    HMODULE module_ = nullptr;
};

TEST_F(LoadedServer, ResourcesAreFoundByHandleAndByAddressInside) {
    const std::string script = fileText(std::string(TESTS_SOURCE_DIR) + "/TestServer.rgs");
    EXPECT_EQ(resourceText(module_, 102, "REGISTRY"), script);
    EXPECT_EQ(resourceText(module_, 1, "TYPELIB"), fileText(std::string(TESTS_SOURCE_DIR) + "/TestServer.idl"));

    // Any address inside the module names it, as the module itself does with ThisModule().
    auto* inside = reinterpret_cast<HMODULE>(GetProcAddress(module_, "DllCanUnloadNow"));
    ASSERT_NE(inside, nullptr);
    EXPECT_EQ(resourceText(inside, 102, "REGISTRY"), script);
    EXPECT_EQ(ModuleOfAddress(inside), module_);
    HMODULE byName = nullptr;
    EXPECT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, TEST_SERVER_PATH, &byName));
    EXPECT_EQ(byName, module_);
    EXPECT_FALSE(GetModuleHandleExA(0, "notloaded.dll", &byName));
    EXPECT_EQ(byName, nullptr);

    SetLastError(0);
    EXPECT_EQ(FindResourceA(module_, MAKEINTRESOURCEA(103), "REGISTRY"), nullptr);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(FindResourceA(module_, MAKEINTRESOURCEA(102), "TYPELIB"), nullptr) << "the type is part of the key";
    EXPECT_EQ(FindResourceA(module_, "#102", "REGISTRY") != nullptr, true) << "numbered names as text";
    // Each module sees only its own resources: the program carries none.
    EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(102), "REGISTRY"), nullptr);
}

TEST_F(LoadedServer, StringTableEntriesConvertAndCut) {
    char16_t wide[64] = {};
    EXPECT_EQ(LoadStringW(module_, 100, reinterpret_cast<LPWSTR>(wide), 64), 18);
    EXPECT_EQ(std::u16string(wide), u"KorvanTestServer \u2713");
    EXPECT_EQ(LoadStringW(module_, 100, reinterpret_cast<LPWSTR>(wide), 7), 6);
    EXPECT_EQ(std::u16string(wide), u"Korvan");
    const char16_t* direct = nullptr;
    EXPECT_EQ(LoadStringW(module_, 100, reinterpret_cast<LPWSTR>(&direct), 0), 18);
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(std::u16string(direct, 18), u"KorvanTestServer \u2713");

    setenv("KORVAN_ANSI_CODEPAGE", "1252", 1);
    char ansi[64] = {};
    EXPECT_EQ(LoadStringA(module_, 100, ansi, sizeof ansi), 18);
    EXPECT_STREQ(ansi, "KorvanTestServer ?") << "the check mark is not in code page 1252";
    unsetenv("KORVAN_ANSI_CODEPAGE");
    EXPECT_EQ(LoadStringA(module_, 101, ansi, sizeof ansi), 0);
}

TEST(FileResources, AreReadFromTheFileAlone) {
    std::string error;
    const auto resources = readFileResources(TEST_SERVER_PATH, &error);
    ASSERT_TRUE(resources) << error;
    ASSERT_EQ(resources->size(), 3u);
    const auto script = readFileResource(TEST_SERVER_PATH, "REGISTRY", 102, &error);
    ASSERT_TRUE(script) << error;
    EXPECT_EQ(std::string(script->begin(), script->end()), fileText(std::string(TESTS_SOURCE_DIR) + "/TestServer.rgs"));
    EXPECT_FALSE(readFileResource(TEST_SERVER_PATH, "REGISTRY", 7, &error));
    EXPECT_NE(error.find("carries no REGISTRY resource 7"), std::string::npos) << error;
}

TEST(FileResources, LoadTypeLibExRegistersWhenAsked) {
    TempRegistry registry;
    const std::u16string path = platform::utf16FromUtf8(TEST_SERVER_PATH);
    const std::string key = "TypeLib\\{5E1D7A30-6C2B-4F0E-9A41-3B7C2D9E0001}\\1.0\\409\\win64";
    ITypeLib* library = nullptr;
    ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library), S_OK);
    library->Release();
    EXPECT_EQ(defaultValueOf(key), "<no key>");
    ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &library), S_OK);
    library->Release();
    EXPECT_EQ(defaultValueOf(key), TEST_SERVER_PATH);
}

// Hostile module files: each is refused with a reason; none crashes the reader.
TEST(FileResources, HostileFilesAreRefused) {
    const std::string original = fileText(TEST_SERVER_PATH);
    ASSERT_GT(original.size(), sizeof(Elf64_Ehdr));
    Elf64_Ehdr header;
    std::memcpy(&header, original.data(), sizeof header);

    QTemporaryDir dir;
    auto refuse = [&](const char* what, const std::string& bytes) {
        const std::string path = dir.path().toStdString() + "/hostile.so";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        std::string error;
        EXPECT_FALSE(readFileResources(path, &error)) << what;
        EXPECT_FALSE(error.empty()) << what;
        ITypeLib* library = reinterpret_cast<ITypeLib*>(1);
        EXPECT_EQ(LoadTypeLib(platform::utf16FromUtf8(path).c_str(), &library), TYPE_E_CANTLOADLIBRARY) << what;
        EXPECT_EQ(library, nullptr) << what;
    };
    auto withHeader = [&](const Elf64_Ehdr& changed) {
        std::string bytes = original;
        std::memcpy(bytes.data(), &changed, sizeof changed);
        return bytes;
    };

    refuse("empty file", "");
    refuse("not ELF", "MZ this is something else entirely, long enough to hold a header............");
    refuse("truncated header", original.substr(0, 20));
    refuse("cut before the section headers", original.substr(0, header.e_shoff + 10));
    Elf64_Ehdr changed = header;
    changed.e_shoff = original.size() - 8;
    refuse("section headers past the end", withHeader(changed));
    changed = header;
    changed.e_shnum = 0xFFFF;
    refuse("too many sections", withHeader(changed));
    changed = header;
    changed.e_shentsize = 12;
    refuse("wrong section header size", withHeader(changed));

    // A note section whose offset runs past the end of the file.
    std::string bytes = original;
    bool patched = false;
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        const size_t at = header.e_shoff + i * sizeof(Elf64_Shdr);
        std::memcpy(&section, bytes.data() + at, sizeof section);
        if (section.sh_type == SHT_NOTE) {
            section.sh_offset = original.size() - 4;
            std::memcpy(bytes.data() + at, &section, sizeof section);
            patched = true;
        }
    }
    ASSERT_TRUE(patched);
    refuse("note section past the end", bytes);

    // A file without our note section carries no type library, which is not a crash either.
    ITypeLib* library = nullptr;
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&CoInitialize), &info), 0);
    EXPECT_EQ(LoadTypeLib(platform::utf16FromUtf8(info.dli_fname).c_str(), &library), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(u"/nonexistent/lib.so", &library), TYPE_E_CANTLOADLIBRARY);
}

TEST(FileResources, MalformedNotesAreRefused) {
    auto note = [](uint32_t nameSize, uint32_t descSize, uint32_t type, const std::string& rest) {
        std::string bytes(12, '\0');
        std::memcpy(bytes.data(), &nameSize, 4);
        std::memcpy(bytes.data() + 4, &descSize, 4);
        std::memcpy(bytes.data() + 8, &type, 4);
        return bytes + rest;
    };
    auto parse = [](const std::string& bytes, std::string* error) {
        std::vector<FileResource> out;
        const bool ok = parseResourceNotes(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 4, out, error);
        return ok ? static_cast<int>(out.size()) : -1;
    };
    const std::string owner("KORVAN\0\0", 8);
    std::string error;
    // id 5, type "AB", data "xy": descriptor of 4 + 4 + 2 + 2 bytes.
    const std::string good = note(7, 12, 0x5253, owner + std::string("\x05\0\0\0\x02\0\0\0ABxy", 12));
    EXPECT_EQ(parse(good, &error), 1) << error;
    EXPECT_EQ(parse(note(7, 12, 0x1234, owner + std::string(12, 'z')), &error), 0) << "other owners' notes are skipped";
    EXPECT_EQ(parse(good.substr(0, 10), &error), -1);
    EXPECT_EQ(parse(note(0xFFFFFFF0u, 12, 0x5253, owner), &error), -1) << "a name size that wraps";
    EXPECT_EQ(parse(note(7, 0xFFFFFFF0u, 0x5253, owner), &error), -1) << "a descriptor past the end";
    EXPECT_EQ(parse(note(7, 12, 0x5253, owner + std::string("\x05\0\0\0\xFF\0\0\0ABxy", 12)), &error), -1)
        << "a type name past its note";
    EXPECT_NE(error.find("type name"), std::string::npos);
    EXPECT_EQ(parse(note(7, 4, 0x5253, owner + std::string(4, '\0')), &error), -1) << "too short";
}

} // namespace
