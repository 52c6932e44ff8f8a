// Resources as ELF notes: in memory through the module's program headers, in a file through its
// section headers. Every size in a file is hostile and checked before it is used.
#include "platform/com/ModuleResources.h"

#include "platform/ModuleLoader.h"
#include "platform/com/Utf16.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#ifndef ERROR_RESOURCE_TYPE_NOT_FOUND
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813u
#endif
#ifndef ERROR_RESOURCE_NAME_NOT_FOUND
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814u
#endif

namespace platform::com {

namespace {

constexpr uint32_t kNoteType = 0x5253;
constexpr char kOwner[] = "KORVAN"; // 7 bytes with its terminator
constexpr uint64_t kMaxNoteSection = 64u * 1024 * 1024;

struct NoteView {
    const uint8_t* header = nullptr; // the note itself: what an HRSRC points to
    uint32_t id = 0;
    std::string_view type;
    std::span<const uint8_t> data;
};

uint32_t readU32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

uint64_t padded(uint64_t size, uint64_t align) {
    return (size + align - 1) / align * align;
}

bool fail(std::string* error, const std::string& why) {
    if (error != nullptr)
        *error = why;
    return false;
}

// Calls visit for each of our notes; false (with a reason) on a malformed note.
template <typename Visit>
bool walkNotes(std::span<const uint8_t> notes, size_t align, std::string* error, Visit visit) {
    if (align != 4 && align != 8)
        align = 4;
    uint64_t offset = 0;
    const uint64_t size = notes.size();
    while (offset < size) {
        if (size - offset < 12)
            return fail(error, "truncated note header");
        const uint8_t* note = notes.data() + offset;
        const uint64_t nameSize = readU32(note);
        const uint64_t descSize = readU32(note + 4);
        const uint32_t type = readU32(note + 8);
        const uint64_t nameSpan = padded(nameSize, align);
        const uint64_t descSpan = padded(descSize, align);
        // The last note's padding may be cut off by the end of its area.
        if (nameSpan > size - offset - 12 || descSize > size - offset - 12 - nameSpan)
            return fail(error, "note runs past the end of its area");
        const uint8_t* name = note + 12;
        const uint8_t* desc = name + nameSpan;
        if (type == kNoteType && nameSize == sizeof(kOwner) && std::memcmp(name, kOwner, sizeof(kOwner)) == 0) {
            if (descSize < 8)
                return fail(error, "resource note too short");
            const uint64_t typeLength = readU32(desc + 4);
            if (typeLength == 0 || typeLength > descSize - 8)
                return fail(error, "resource type name runs past its note");
            NoteView view;
            view.header = note;
            view.id = readU32(desc);
            view.type = std::string_view(reinterpret_cast<const char*>(desc + 8), typeLength);
            view.data = std::span<const uint8_t>(desc + 8 + typeLength, descSize - 8 - typeLength);
            if (!visit(view))
                return true;
        }
        offset += 12 + nameSpan;
        offset += descSpan < size - offset ? descSpan : size - offset;
    }
    return true;
}

// Reads exactly size bytes at offset, refusing anything past the end of the file.
bool readAt(int fd, uint64_t fileSize, uint64_t offset, void* out, uint64_t size) {
    if (offset > fileSize || size > fileSize - offset)
        return false;
    auto* bytes = static_cast<uint8_t*>(out);
    while (size > 0) {
        const ssize_t got = pread(fd, bytes, size, static_cast<off_t>(offset));
        if (got <= 0)
            return false;
        bytes += got;
        offset += static_cast<uint64_t>(got);
        size -= static_cast<uint64_t>(got);
    }
    return true;
}

struct FileCloser {
    int fd;
    ~FileCloser() {
        if (fd >= 0)
            close(fd);
    }
};

struct SectionRef {
    uint32_t type;
    uint64_t offset;
    uint64_t size;
    uint64_t align;
};

template <typename Ehdr, typename Shdr>
bool noteSections(int fd, uint64_t fileSize, std::vector<SectionRef>& out, std::string* error) {
    Ehdr header;
    if (!readAt(fd, fileSize, 0, &header, sizeof header))
        return fail(error, "truncated ELF header");
    if (header.e_shoff == 0)
        return true; // no section headers, so no resources
    if (header.e_shentsize != sizeof(Shdr))
        return fail(error, "unexpected section header size");
    uint64_t count = header.e_shnum;
    if (count == 0) {
        // Extended numbering: the real count is in the first header's size.
        Shdr first;
        if (!readAt(fd, fileSize, header.e_shoff, &first, sizeof first))
            return fail(error, "section headers run past the end of the file");
        count = first.sh_size;
    }
    if (count > (fileSize - std::min<uint64_t>(fileSize, header.e_shoff)) / sizeof(Shdr))
        return fail(error, "section headers run past the end of the file");
    for (uint64_t i = 0; i < count; ++i) {
        Shdr section;
        if (!readAt(fd, fileSize, header.e_shoff + i * sizeof(Shdr), &section, sizeof section))
            return fail(error, "section headers run past the end of the file");
        if (section.sh_type != SHT_NOTE)
            continue;
        if (section.sh_offset > fileSize || section.sh_size > fileSize - section.sh_offset)
            return fail(error, "note section runs past the end of the file");
        if (section.sh_size > kMaxNoteSection)
            return fail(error, "note section too large");
        out.push_back({section.sh_type, section.sh_offset, section.sh_size, section.sh_addralign});
    }
    return true;
}

// Validates a handle against the loader's list of modules before looking inside it, so a stale
// or made-up handle is refused rather than followed.
const link_map* knownModule(HMODULE module) {
    for (const link_map* map = _r_debug.r_map; map != nullptr; map = map->l_next) {
        if (static_cast<const void*>(map) == module)
            return map;
    }
    return nullptr;
}

const void* addressInside(HMODULE module) {
    if (module == nullptr) {
        const link_map* program = _r_debug.r_map;
        return program != nullptr ? static_cast<const void*>(program->l_ld) : nullptr;
    }
    if (const link_map* map = knownModule(module))
        return map->l_ld;
    return module;
}

struct PhdrSearch {
    uintptr_t address;
    bool found = false;
    std::string path;
    std::vector<std::pair<std::span<const uint8_t>, size_t>> notes;
};

int visitObject(dl_phdr_info* info, size_t, void* context) {
    auto* search = static_cast<PhdrSearch*>(context);
    bool inside = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD && ph.p_type != PT_DYNAMIC)
            continue;
        const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (search->address >= start && search->address - start < ph.p_memsz)
            inside = true;
    }
    if (!inside)
        return 0;
    search->found = true;
    search->path = info->dlpi_name != nullptr ? info->dlpi_name : "";
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_NOTE) {
            const auto* start = reinterpret_cast<const uint8_t*>(info->dlpi_addr + ph.p_vaddr);
            search->notes.emplace_back(std::span<const uint8_t>(start, ph.p_memsz), ph.p_align);
        }
    }
    return 1;
}

PhdrSearch findLoaded(HMODULE module) {
    PhdrSearch search;
    search.address = reinterpret_cast<uintptr_t>(addressInside(module));
    if (search.address != 0)
        dl_iterate_phdr(visitObject, &search);
    return search;
}

std::optional<NoteView> findLoadedNote(HMODULE module, std::string_view type, uint32_t id) {
    const PhdrSearch search = findLoaded(module);
    std::optional<NoteView> result;
    for (const auto& [notes, align] : search.notes) {
        walkNotes(notes, align, nullptr, [&](const NoteView& view) {
            if (view.id == id && view.type == type) {
                result = view;
                return false;
            }
            return true;
        });
        if (result)
            break;
    }
    return result;
}

// The type or name argument of FindResourceA as text: "#6" for MAKEINTRESOURCE(6).
std::optional<std::string> resourceKey(LPCSTR value) {
    if (value == nullptr)
        return std::nullopt;
    if (IS_INTRESOURCE(value)) {
        // Formatted into a buffer: GCC 12 at -O3 warns falsely about "#" + std::to_string().
        char text[8];
        std::snprintf(text, sizeof text, "#%u", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(value)));
        return std::string(text);
    }
    return std::string(value);
}

std::optional<uint32_t> numberedName(const std::string& key) {
    if (key.size() < 2 || key.size() > 6 || key[0] != '#')
        return std::nullopt;
    uint32_t value = 0;
    for (size_t i = 1; i < key.size(); ++i) {
        if (key[i] < '0' || key[i] > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(key[i] - '0');
    }
    return value <= 0xFFFF ? std::optional<uint32_t>(value) : std::nullopt;
}

} // namespace

bool parseResourceNotes(std::span<const uint8_t> notes, size_t align, std::vector<FileResource>& out,
                        std::string* error) {
    return walkNotes(notes, align, error, [&](const NoteView& view) {
        out.push_back({std::string(view.type), view.id, std::vector<uint8_t>(view.data.begin(), view.data.end())});
        return true;
    });
}

std::optional<std::vector<FileResource>> readFileResources(const std::string& path, std::string* error) {
    FileCloser file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        fail(error, "cannot open " + path + ": " + std::strerror(errno));
        return std::nullopt;
    }
    struct stat info {};
    if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        fail(error, path + " is not a regular file");
        return std::nullopt;
    }
    const auto fileSize = static_cast<uint64_t>(info.st_size);
    unsigned char ident[EI_NIDENT];
    if (!readAt(file.fd, fileSize, 0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
        fail(error, path + " is not an ELF module");
        return std::nullopt;
    }
    if (ident[EI_DATA] != ELFDATA2LSB) {
        fail(error, path + " is not a little-endian ELF module");
        return std::nullopt;
    }
    std::vector<SectionRef> sections;
    bool parsed = false;
    std::string why;
    if (ident[EI_CLASS] == ELFCLASS64)
        parsed = noteSections<Elf64_Ehdr, Elf64_Shdr>(file.fd, fileSize, sections, &why);
    else if (ident[EI_CLASS] == ELFCLASS32)
        parsed = noteSections<Elf32_Ehdr, Elf32_Shdr>(file.fd, fileSize, sections, &why);
    else
        why = "unknown ELF class";
    if (!parsed) {
        fail(error, path + ": " + why);
        return std::nullopt;
    }
    std::vector<FileResource> resources;
    for (const SectionRef& section : sections) {
        std::vector<uint8_t> bytes(section.size);
        if (!readAt(file.fd, fileSize, section.offset, bytes.data(), bytes.size())) {
            fail(error, path + ": cannot read a note section");
            return std::nullopt;
        }
        if (!parseResourceNotes(bytes, section.align, resources, &why)) {
            fail(error, path + ": " + why);
            return std::nullopt;
        }
    }
    return resources;
}

std::optional<std::vector<uint8_t>> readFileResource(const std::string& path, std::string_view type, uint32_t id,
                                                     std::string* error) {
    auto resources = readFileResources(path, error);
    if (!resources)
        return std::nullopt;
    for (FileResource& resource : *resources) {
        if (resource.id == id && resource.type == type)
            return std::move(resource.data);
    }
    fail(error, path + " carries no " + std::string(type) + " resource " + std::to_string(id));
    return std::nullopt;
}

std::optional<std::span<const uint8_t>> moduleResource(HMODULE module, std::string_view type, uint32_t id) {
    const auto note = findLoadedNote(module, type, id);
    if (!note)
        return std::nullopt;
    return note->data;
}

std::string modulePath(HMODULE module) {
    const PhdrSearch search = findLoaded(module);
    if (!search.found)
        return {};
    if (search.path.empty()) {
        // The program itself is listed without a name.
        char buffer[4096];
        const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
        return length > 0 && static_cast<size_t>(length) < sizeof buffer ? std::string(buffer, length) : std::string();
    }
    // The loader keeps the name it was given ("./libX.so"); what a registration records must
    // find the module from any folder, as GetModuleFileName's full path does.
    if (search.path.front() != '/') {
        char resolved[PATH_MAX];
        return realpath(search.path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
    }
    return search.path;
}

} // namespace platform::com

using namespace platform::com;

HMODULE ModuleOfAddress(const void* address) {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCSTR>(address), &module);
    return module;
}

extern "C" BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule) {
    if (phModule == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    void* handle = nullptr;
    if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
        Dl_info info{};
        if (lpModuleName == nullptr || dladdr(lpModuleName, &info) == 0 || info.dli_fname == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        const std::string path = modulePath(const_cast<char*>(lpModuleName));
        // The program answers to a null name, as GetModuleHandle(NULL) does.
        handle = dlopen(path.empty() || path == modulePath(nullptr) ? nullptr : path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    } else {
        handle = dlopen(lpModuleName, RTLD_LAZY | RTLD_NOLOAD);
        // A Windows name ("qx11skyra.dll") answers for the module LoadLibraryA made of it.
        if (handle == nullptr && lpModuleName != nullptr)
            handle = dlopen(platform::moduleFileNameFor(lpModuleName).c_str(), RTLD_LAZY | RTLD_NOLOAD);
    }
    if (handle == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) != 0 && (dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) == 0)
        dlclose(handle);
    *phModule = handle;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
    const auto type = resourceKey(lpType);
    const auto name = resourceKey(lpName);
    const auto id = name ? numberedName(*name) : std::nullopt;
    if (!type || !id) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    const auto note = findLoadedNote(hModule, *type, *id);
    if (!note) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return const_cast<uint8_t*>(note->header);
}

namespace {

// An HRSRC is the note itself; its owner has already been checked by FindResourceA.
std::span<const uint8_t> noteData(HRSRC resource) {
    const auto* note = static_cast<const uint8_t*>(resource);
    const uint32_t descSize = readU32(note + 4);
    const uint8_t* desc = note + 12 + padded(sizeof(kOwner), 4);
    const uint32_t typeLength = readU32(desc + 4);
    return {desc + 8 + typeLength, descSize - 8 - typeLength};
}

} // namespace

extern "C" HGLOBAL WINAPI LoadResource(HMODULE, HRSRC hResInfo) {
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<uint8_t*>(noteData(hResInfo).data());
}

extern "C" LPVOID WINAPI LockResource(HGLOBAL hResData) {
    return hResData;
}

extern "C" DWORD WINAPI SizeofResource(HMODULE, HRSRC hResInfo) {
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<DWORD>(noteData(hResInfo).size());
}

extern "C" BOOL WINAPI FreeResource(HGLOBAL) {
    return FALSE;
}

namespace {

std::optional<std::u16string> stringEntry(HINSTANCE instance, UINT id) {
    const auto data = moduleResource(instance, "#6", id);
    if (!data)
        return std::nullopt;
    return platform::utf16FromUtf8(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}

// LoadStringW's read-only pointer form needs text that outlives the call.
const char16_t* keptText(std::u16string text) {
    static std::mutex lock;
    static std::deque<std::u16string> kept;
    std::lock_guard guard(lock);
    for (const std::u16string& old : kept) {
        if (old == text)
            return old.c_str();
    }
    kept.push_back(std::move(text));
    return kept.back().c_str();
}

} // namespace

extern "C" int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    const auto text = stringEntry(hInstance, uID);
    if (!text || lpBuffer == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    if (cchBufferMax == 0) {
        const char16_t* kept = keptText(*text);
        std::memcpy(lpBuffer, &kept, sizeof kept);
        return static_cast<int>(text->size());
    }
    if (cchBufferMax < 0)
        return 0;
    const size_t count = std::min<size_t>(text->size(), static_cast<size_t>(cchBufferMax) - 1);
    std::memcpy(lpBuffer, text->data(), count * sizeof(char16_t));
    lpBuffer[count] = u'\0';
    return static_cast<int>(count);
}

extern "C" int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    const auto text = stringEntry(hInstance, uID);
    if (!text || lpBuffer == nullptr || cchBufferMax <= 0) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    const int length = static_cast<int>(text->size());
    const int needed = WideCharToMultiByte(CP_ACP, 0, text->data(), length, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(std::max(needed, 0)), '\0');
    if (needed > 0)
        WideCharToMultiByte(CP_ACP, 0, text->data(), length, ansi.data(), needed, nullptr, nullptr);
    const size_t count = std::min<size_t>(ansi.size(), static_cast<size_t>(cchBufferMax) - 1);
    std::memcpy(lpBuffer, ansi.data(), count);
    lpBuffer[count] = '\0';
    return static_cast<int>(count);
}
