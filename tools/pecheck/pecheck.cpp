// pecheck: a small PE reader that checks the cross-built images, the driver
// and the property-page DLL.
//
// Only what the checks need is parsed: COFF file header, optional header,
// section table, import/TLS/delay-import/relocation directories, export
// names, the resource tree (dialog templates, the version record), and the
// COFF symbol table that GNU ld leaves in the image (used to find the entry
// routine and the merged static-constructor list). Every read is
// bounds-checked; a malformed file is a failed check, never a crash.

#include "pecheck.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <tuple>

namespace pecheck {
namespace {

// Header constants, named as in the Windows headers.
constexpr std::uint16_t kMachineI386 = 0x014c;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMagicPe32 = 0x010b;
constexpr std::uint16_t kMagicPe32Plus = 0x020b;
constexpr std::uint16_t kSubsystemNative = 1;
constexpr std::uint16_t kSubsystemWindowsGui = 2;

constexpr std::uint16_t kFileRelocsStripped = 0x0001;
constexpr std::uint16_t kFileExecutableImage = 0x0002;
constexpr std::uint16_t kFileDll = 0x2000;

constexpr std::uint16_t kDllHighEntropyVa = 0x0020;
constexpr std::uint16_t kDllDynamicBase = 0x0040;
constexpr std::uint16_t kDllForceIntegrity = 0x0080;
constexpr std::uint16_t kDllNxCompat = 0x0100;
constexpr std::uint16_t kDllAppContainer = 0x1000;
constexpr std::uint16_t kDllWdmDriver = 0x2000;
constexpr std::uint16_t kDllGuardCf = 0x4000;
constexpr std::uint16_t kDllTerminalServerAware = 0x8000;
constexpr std::uint16_t kDllReservedBits = 0x001f;

constexpr std::uint32_t kScnCntCode = 0x00000020;
constexpr std::uint32_t kScnMemExecute = 0x20000000;
constexpr std::uint32_t kScnMemWrite = 0x80000000;

constexpr int kDirExport = 0;
constexpr int kDirImport = 1;
constexpr int kDirResource = 2;
constexpr int kDirDebug = 6;
constexpr int kDirSecurity = 4;
constexpr int kDirBaseReloc = 5;
constexpr int kDirTls = 9;
constexpr int kDirLoadConfig = 10;
constexpr int kDirDelayImport = 13;

// Upper bounds that keep a hostile file from making us loop for long.
constexpr std::size_t kMaxImportDescriptors = 4096;
constexpr std::size_t kMaxThunks = 65536;
constexpr std::size_t kMaxName = 4096;
constexpr std::size_t kMaxCtorEntries = 65536;
constexpr std::size_t kMaxResources = 4096;
constexpr std::size_t kMaxDialogItems = 255;

constexpr std::uint32_t kResourceDialog = 5;
constexpr std::uint32_t kResourceVersion = 16;
constexpr std::uint32_t kDsSetFont = 0x40;
constexpr std::uint32_t kVersionSignature = 0xFEEF04BD;
constexpr std::uint32_t kVftDll = 2, kVftDrv = 3;

struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Section {
    std::string name;
    std::uint32_t virtual_size = 0;
    std::uint32_t virtual_address = 0;
    std::uint32_t raw_size = 0;
    std::uint32_t raw_offset = 0;
    std::uint32_t characteristics = 0;

    std::uint32_t mapped_size() const { return std::max(virtual_size, raw_size); }
    bool contains_rva(std::uint32_t rva) const {
        return rva >= virtual_address && rva - virtual_address < mapped_size();
    }
    bool executable() const {
        return (characteristics & (kScnMemExecute | kScnCntCode)) != 0;
    }
    std::uint32_t content_size() const {
        return virtual_size != 0 ? virtual_size : raw_size;
    }
};

struct DataDirectory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
    bool present() const { return rva != 0 || size != 0; }
};

struct Symbol {
    std::string name;
    std::uint32_t value = 0;
    std::int16_t section_number = 0;
};

struct Image {
    const std::vector<std::uint8_t>* bytes = nullptr;
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint32_t symbol_table_offset = 0;
    std::uint32_t symbol_count = 0;
    std::size_t optional_header_offset = 0;
    std::uint16_t magic = 0;
    std::uint32_t entry_rva = 0;
    std::uint64_t image_base = 0;
    std::uint32_t size_of_headers = 0;
    std::uint32_t checksum = 0;
    std::size_t checksum_offset = 0;
    std::uint16_t subsystem = 0;
    std::uint16_t dll_characteristics = 0;
    std::vector<DataDirectory> directories;
    std::vector<Section> sections;
    std::vector<Symbol> symbols;  // empty when the image was stripped

    bool pe32_plus() const { return magic == kMagicPe32Plus; }
    std::size_t pointer_size() const { return pe32_plus() ? 8 : 4; }

    DataDirectory directory(int index) const {
        if (index < 0 || static_cast<std::size_t>(index) >= directories.size()) return {};
        return directories[static_cast<std::size_t>(index)];
    }
};

// --- raw reads -------------------------------------------------------------

// Throws unless bytes [off, off + n) exist.
void need(const std::vector<std::uint8_t>& b, std::size_t off, std::size_t n) {
    if (off > b.size() || n > b.size() - off) {
        std::ostringstream s;
        s << "read of " << n << " bytes at file offset 0x" << std::hex << off
          << " runs past the end of the file (size 0x" << b.size() << ")";
        throw FormatError(s.str());
    }
}

// Little-endian integer of n <= 8 bytes.
std::uint64_t read_le(const std::vector<std::uint8_t>& b, std::size_t off, std::size_t n) {
    if (n > 8) throw FormatError("internal: integer wider than 8 bytes");
    need(b, off, n);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t{b[off + i]} << (8 * i);
    return v;
}
std::uint16_t rd16(const std::vector<std::uint8_t>& b, std::size_t off) {
    return static_cast<std::uint16_t>(read_le(b, off, 2));
}
std::uint32_t rd32(const std::vector<std::uint8_t>& b, std::size_t off) {
    return static_cast<std::uint32_t>(read_le(b, off, 4));
}
std::uint64_t rd64(const std::vector<std::uint8_t>& b, std::size_t off) {
    return read_le(b, off, 8);
}

// A NUL-terminated name from the file. Bytes outside printable ASCII come
// back as \xNN so that a damaged file cannot garble the report.
std::string read_cstring(const std::vector<std::uint8_t>& b, std::size_t off,
                         std::size_t max_len = kMaxName) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0;; ++i) {
        if (off + i >= b.size()) throw FormatError("unterminated string runs past the end of the file");
        if (i >= max_len) throw FormatError("string longer than " + std::to_string(max_len) + " bytes");
        std::uint8_t c = b[off + i];
        if (c == 0) return s;
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            s.push_back(static_cast<char>(c));
        } else {
            s += "\\x";
            s.push_back(digits[c >> 4]);
            s.push_back(digits[c & 15]);
        }
    }
}

// An 8-byte name field (section or symbol), NUL-padded unless full.
std::string short_name(const std::vector<std::uint8_t>& b, std::size_t off) {
    need(b, off, 8);
    std::vector<std::uint8_t> field(b.begin() + static_cast<std::ptrdiff_t>(off),
                                    b.begin() + static_cast<std::ptrdiff_t>(off + 8));
    field.push_back(0);
    return read_cstring(field, 0);
}

std::string hex(std::uint64_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

std::string lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

bool starts_with_ci(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && lower(s.substr(0, prefix.size())) == lower(prefix);
}

// --- parsing ---------------------------------------------------------------

std::string string_table_entry(const std::vector<std::uint8_t>& b, const Image& img,
                               std::uint32_t offset) {
    if (img.symbol_table_offset == 0) throw FormatError("long name but no string table");
    std::size_t table = std::size_t{img.symbol_table_offset} + std::size_t{img.symbol_count} * 18;
    return read_cstring(b, table + offset);
}

Image parse(const std::vector<std::uint8_t>& b) {
    Image img;
    img.bytes = &b;
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') throw FormatError("no MZ header");
    std::uint32_t pe = rd32(b, 0x3c);
    if (rd32(b, pe) != 0x00004550) throw FormatError("no PE signature at " + hex(pe));

    std::size_t coff = std::size_t{pe} + 4;
    img.machine = rd16(b, coff + 0);
    std::uint16_t section_count = rd16(b, coff + 2);
    img.symbol_table_offset = rd32(b, coff + 8);
    img.symbol_count = rd32(b, coff + 12);
    std::uint16_t optional_size = rd16(b, coff + 16);
    img.characteristics = rd16(b, coff + 18);

    std::size_t opt = coff + 20;
    img.optional_header_offset = opt;
    img.magic = rd16(b, opt);
    if (img.magic != kMagicPe32 && img.magic != kMagicPe32Plus)
        throw FormatError("unknown optional-header magic " + hex(img.magic));
    bool plus = img.pe32_plus();
    if (optional_size < (plus ? 112u : 96u)) throw FormatError("optional header too small");
    img.entry_rva = rd32(b, opt + 16);
    img.image_base = plus ? rd64(b, opt + 24) : rd32(b, opt + 28);
    img.size_of_headers = rd32(b, opt + 60);
    img.checksum_offset = opt + 64;
    img.checksum = rd32(b, opt + 64);
    img.subsystem = rd16(b, opt + 68);
    img.dll_characteristics = rd16(b, opt + 70);
    std::uint32_t dir_count = rd32(b, opt + (plus ? 108 : 92));
    std::size_t dirs = opt + (plus ? 112 : 96);
    std::size_t dirs_fit = (optional_size - (dirs - opt)) / 8;
    dir_count = static_cast<std::uint32_t>(std::min<std::size_t>({dir_count, 16, dirs_fit}));
    for (std::uint32_t i = 0; i < dir_count; ++i)
        img.directories.push_back({rd32(b, dirs + 8 * i), rd32(b, dirs + 8 * i + 4)});

    std::size_t sec = opt + optional_size;
    for (std::uint16_t i = 0; i < section_count; ++i) {
        std::size_t h = sec + std::size_t{i} * 40;
        need(b, h, 40);
        std::string name = short_name(b, h);
        Section s;
        s.virtual_size = rd32(b, h + 8);
        s.virtual_address = rd32(b, h + 12);
        s.raw_size = rd32(b, h + 16);
        s.raw_offset = rd32(b, h + 20);
        s.characteristics = rd32(b, h + 36);
        s.name = name;
        img.sections.push_back(s);
    }

    // COFF symbols: GNU ld keeps them in the image unless told to strip.
    // They are never mapped by the loader, but tell us where DriverEntry and
    // the constructor list ended up.
    if (img.symbol_table_offset != 0 && img.symbol_count != 0) {
        std::size_t base = img.symbol_table_offset;
        for (std::uint32_t i = 0; i < img.symbol_count; ++i) {
            std::size_t e = base + std::size_t{i} * 18;
            need(b, e, 18);
            Symbol sym;
            if (rd32(b, e) == 0) {
                sym.name = string_table_entry(b, img, rd32(b, e + 4));
            } else {
                sym.name = short_name(b, e);
            }
            sym.value = rd32(b, e + 8);
            sym.section_number = static_cast<std::int16_t>(rd16(b, e + 12));
            std::uint8_t aux = static_cast<std::uint8_t>(read_le(b, e + 17, 1));
            img.symbols.push_back(sym);
            i += aux;
        }
    }
    // Section names longer than eight bytes live in the string table as "/N".
    for (Section& s : img.sections) {
        if (s.name.size() > 1 && s.name[0] == '/' &&
            std::all_of(s.name.begin() + 1, s.name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            s.name = string_table_entry(b, img, static_cast<std::uint32_t>(std::stoul(s.name.substr(1))));
        }
    }
    return img;
}

const Section* section_for_rva(const Image& img, std::uint32_t rva) {
    for (const Section& s : img.sections)
        if (s.contains_rva(rva)) return &s;
    return nullptr;
}

std::size_t rva_to_offset(const Image& img, std::uint32_t rva) {
    if (rva < img.size_of_headers) return rva;
    const Section* s = section_for_rva(img, rva);
    if (!s) throw FormatError("RVA " + hex(rva) + " is in no section");
    std::uint32_t delta = rva - s->virtual_address;
    if (delta >= s->raw_size) throw FormatError("RVA " + hex(rva) + " has no file data (" + s->name + ")");
    return std::size_t{s->raw_offset} + delta;
}

std::vector<Import> parse_imports(const Image& img) {
    const auto& b = *img.bytes;
    std::vector<Import> out;
    DataDirectory dir = img.directory(kDirImport);
    if (!dir.present()) return out;
    std::size_t desc = rva_to_offset(img, dir.rva);
    for (std::size_t i = 0;; ++i) {
        if (i >= kMaxImportDescriptors) throw FormatError("import directory does not terminate");
        std::size_t d = desc + i * 20;
        std::uint32_t lookup = rd32(b, d + 0);
        std::uint32_t name = rd32(b, d + 12);
        std::uint32_t first = rd32(b, d + 16);
        if (lookup == 0 && name == 0 && first == 0) break;
        std::string dll = read_cstring(b, rva_to_offset(img, name));
        std::uint32_t thunks = lookup != 0 ? lookup : first;
        std::size_t t = rva_to_offset(img, thunks);
        std::size_t ptr = img.pointer_size();
        for (std::size_t k = 0;; ++k) {
            if (k >= kMaxThunks) throw FormatError("import thunks of " + dll + " do not terminate");
            std::uint64_t v = read_le(b, t + k * ptr, ptr);
            if (v == 0) break;
            Import imp;
            imp.dll = dll;
            std::uint64_t ordinal_flag = std::uint64_t{1} << (ptr * 8 - 1);
            if (v & ordinal_flag) {
                imp.by_ordinal = true;
                imp.ordinal = static_cast<std::uint32_t>(v & 0xffff);
            } else {
                std::size_t hint_name = rva_to_offset(img, static_cast<std::uint32_t>(v & 0x7fffffff));
                imp.symbol = read_cstring(b, hint_name + 2);
            }
            out.push_back(imp);
        }
        if (out.empty() || out.back().dll != dll) out.push_back({dll, {}, 0, false});  // DLL with no thunks
    }
    return out;
}

std::vector<std::string> export_names_at(const Image& img, std::uint32_t wanted_rva,
                                         std::vector<std::string>* all_names) {
    const auto& b = *img.bytes;
    std::vector<std::string> hits;
    DataDirectory dir = img.directory(kDirExport);
    if (!dir.present()) return hits;
    std::size_t e = rva_to_offset(img, dir.rva);
    std::uint32_t base_count = rd32(b, e + 20);
    std::uint32_t names = rd32(b, e + 24);
    std::uint32_t functions = rd32(b, e + 28);
    std::uint32_t name_ptrs = rd32(b, e + 32);
    std::uint32_t ordinals = rd32(b, e + 36);
    if (names > kMaxThunks || base_count > kMaxThunks) throw FormatError("export table too large");
    for (std::uint32_t i = 0; i < names; ++i) {
        std::string n = read_cstring(b, rva_to_offset(img, rd32(b, rva_to_offset(img, name_ptrs) + 4 * i)));
        std::uint16_t ord = rd16(b, rva_to_offset(img, ordinals) + 2 * i);
        if (ord >= base_count) throw FormatError("export ordinal out of range");
        std::uint32_t rva = rd32(b, rva_to_offset(img, functions) + 4 * std::size_t{ord});
        if (all_names) all_names->push_back(n);
        if (rva == wanted_rva) hits.push_back(n);
    }
    return hits;
}

// --- resources ---------------------------------------------------------------

// One leaf of the resource tree: type, name and language, where its data is.
// A string name or type is kept as kNamedResource.
constexpr std::uint32_t kNamedResource = 0xffffffffu;
struct Resource {
    std::uint32_t type = 0;
    std::uint32_t name = 0;
    std::uint32_t language = 0;
    std::size_t offset = 0;  // file offset of the data
    std::uint32_t size = 0;
};

// The three levels of the tree (type, name, language) down to the data
// entries. Offsets inside the tree are relative to its start.
std::vector<Resource> parse_resources(const Image& img) {
    const auto& b = *img.bytes;
    std::vector<Resource> out;
    DataDirectory dir = img.directory(kDirResource);
    if (!dir.present()) return out;
    const std::size_t root = rva_to_offset(img, dir.rva);
    struct Entry {
        std::uint32_t id;
        std::uint32_t target;
        bool directory;
    };
    auto entries = [&](std::uint32_t at) {
        std::size_t d = root + at;
        std::size_t count = std::size_t{rd16(b, d + 12)} + rd16(b, d + 14);
        if (count > kMaxResources) throw FormatError("resource directory too large");
        std::vector<Entry> list;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint32_t name = rd32(b, d + 16 + 8 * i);
            std::uint32_t target = rd32(b, d + 16 + 8 * i + 4);
            list.push_back({(name & 0x80000000u) ? kNamedResource : (name & 0xffff), target & 0x7fffffffu,
                            (target & 0x80000000u) != 0});
        }
        return list;
    };
    for (const Entry& type : entries(0)) {
        if (!type.directory) throw FormatError("resource type entry is not a directory");
        for (const Entry& name : entries(type.target)) {
            if (!name.directory) throw FormatError("resource name entry is not a directory");
            for (const Entry& language : entries(name.target)) {
                if (language.directory) throw FormatError("resource language entry is a directory");
                std::size_t leaf = root + language.target;
                std::uint32_t data_rva = rd32(b, leaf);
                std::uint32_t size = rd32(b, leaf + 4);
                std::size_t data = rva_to_offset(img, data_rva);
                need(b, data, size);
                out.push_back({type.id, name.id, language.id, data, size});
                if (out.size() > kMaxResources) throw FormatError("too many resources");
            }
        }
    }
    return out;
}

// A name that may be an ordinal (sz_Or_Ord) or a NUL-terminated UTF-16
// string, from a resource; advances `at` past it.
std::string read_sz_or_ord(const std::vector<std::uint8_t>& b, std::size_t& at, bool may_be_ordinal) {
    std::uint16_t first = rd16(b, at);
    if (may_be_ordinal && first == 0xffff) {
        std::uint16_t ordinal = rd16(b, at + 2);
        at += 4;
        return "#" + std::to_string(ordinal);
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0;; ++i) {
        if (i >= kMaxName) throw FormatError("resource string does not terminate");
        std::uint16_t c = rd16(b, at);
        at += 2;
        if (c == 0) return text;
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            text.push_back(static_cast<char>(c));
        } else {
            text += "\\x";
            for (int shift = c > 0xff ? 12 : 4; shift >= 0; shift -= 4) text.push_back(digits[(c >> shift) & 15]);
        }
    }
}

std::size_t align4(std::size_t v) { return (v + 3) & ~std::size_t{3}; }

// The address of a COFF symbol as an RVA. GNU ld stores image symbols
// relative to their section.
std::optional<std::uint32_t> symbol_rva(const Image& img, const Symbol& s) {
    if (s.section_number <= 0 || static_cast<std::size_t>(s.section_number) > img.sections.size())
        return std::nullopt;
    return img.sections[static_cast<std::size_t>(s.section_number) - 1].virtual_address + s.value;
}

const Symbol* find_symbol(const Image& img, std::initializer_list<std::string_view> names) {
    for (std::string_view want : names)
        for (const Symbol& s : img.symbols)
            if (s.section_number > 0 && s.name == want) return &s;
    return nullptr;
}

// Names that only a C++ runtime (or its unwinder) would provide or need.
bool runtime_symbol_name(std::string_view name, std::string* why) {
    std::string_view bare = name;
    while (!bare.empty() && bare.front() == '_') bare.remove_prefix(1);
    for (std::string_view p : {"cxa_", "Unwind_", "gxx_personality", "gcc_personality",
                               "cxa", "gxx_", "register_frame_info", "deregister_frame_info"}) {
        if (bare.substr(0, p.size()) == p) {
            if (why) *why = "C++ runtime symbol";
            return true;
        }
    }
    // Itanium-mangled names (_Z..., or __Z... with the i386 underscore): the
    // kernel exports only C names, so an import like this came from libstdc++.
    if (name.substr(0, 2) == "_Z" || name.substr(0, 3) == "__Z") {
        if (why) *why = "C++-mangled symbol";
        return true;
    }
    return false;
}

bool runtime_dll_name(std::string_view dll) {
    for (std::string_view p : {"libstdc++", "libgcc", "libsupc++", "msvcr", "msvcp", "ucrtbase",
                               "api-ms-win-crt", "vcruntime", "concrt", "libwinpthread", "libc++"}) {
        if (starts_with_ci(dll, p)) return true;
    }
    return false;
}

std::string machine_name(std::uint16_t m) {
    switch (m) {
    case kMachineI386: return "i386";
    case kMachineAmd64: return "amd64";
    default: return "unknown";
    }
}

// Counts entries of a GNU-style constructor list [-1, fn..., 0] found through
// `symbol`. Returns nullopt when the symbol does not exist.
std::optional<std::size_t> count_list_entries(const Image& img, std::initializer_list<std::string_view> names) {
    const Symbol* s = find_symbol(img, names);
    if (!s) return std::nullopt;
    auto rva = symbol_rva(img, *s);
    if (!rva) return std::nullopt;
    const auto& b = *img.bytes;
    std::size_t ptr = img.pointer_size();
    std::size_t off = rva_to_offset(img, *rva);
    std::uint64_t all_ones = ptr == 8 ? ~std::uint64_t{0} : 0xffffffffu;
    std::size_t i = 0;
    if (read_le(b, off, ptr) == all_ones) ++i;
    std::size_t count = 0;
    for (;; ++i) {
        if (count >= kMaxCtorEntries) throw FormatError("constructor list does not terminate");
        std::uint64_t v = read_le(b, off + i * ptr, ptr);
        if (v == 0) break;
        ++count;
    }
    return count;
}

class Checker {
public:
    Checker(const std::vector<std::uint8_t>& file, const Options& options)
        : file_(file), options_(options) {}

    Report run() {
        try {
            img_ = parse(file_);
        } catch (const std::exception& e) {
            fail("format", std::string("not a readable PE image: ") + e.what());
            return std::move(report_);
        }
        ok("format", "PE image, " + std::to_string(img_.sections.size()) + " sections");
        guarded("machine", [&] { check_machine(); });
        guarded("characteristics", [&] { check_characteristics(); });
        guarded("subsystem", [&] { check_subsystem(); });
        guarded("entry", [&] { check_entry(); });
        guarded("dllchar", [&] { check_dll_characteristics(); });
        guarded("sections", [&] { check_sections(); });
        guarded("relocs", [&] { check_relocations(); });
        guarded("imports", [&] { check_imports(); });
        guarded("delay-imports", [&] { check_delay_imports(); });
        guarded("tls", [&] { check_tls(); });
        guarded("ctors", [&] { check_static_constructors(); });
        guarded("runtime-symbols", [&] { check_runtime_symbols(); });
        guarded("unwind", [&] { check_unwind_tables(); });
        guarded("checksum", [&] { check_checksum(); });
        guarded("timestamp", [&] { check_timestamps(); });
        if (dll() || !options_.exports.empty()) guarded("exports", [&] { check_exports(); });
        for (const DialogExpectation& want : options_.dialogs) guarded("dialog", [&] { check_dialog(want); });
        if (options_.expect_version) guarded("version", [&] { check_version(); });
        return std::move(report_);
    }

private:
    void ok(const std::string& id, const std::string& msg) { report_.verdicts.push_back({id, true, msg}); }
    void fail(const std::string& id, const std::string& msg) { report_.verdicts.push_back({id, false, msg}); }
    void note(const std::string& msg) { report_.notes.push_back(msg); }

    template <typename F>
    void guarded(const std::string& id, F&& f) {
        try {
            f();
        } catch (const std::exception& e) {
            fail(id, std::string("malformed image: ") + e.what());
        }
    }

    void check_machine() {
        bool want_i386 = options_.machine == Machine::i386;
        std::uint16_t want = want_i386 ? kMachineI386 : kMachineAmd64;
        std::string want_name = want_i386 ? "i386" : "amd64";
        if (img_.machine == want)
            ok("machine", "machine " + want_name + " (" + hex(img_.machine) + ")");
        else
            fail("machine", "machine is " + machine_name(img_.machine) + " (" + hex(img_.machine) +
                                "), expected " + want_name + " (" + hex(want) + ")");
        std::uint16_t want_magic = want_i386 ? kMagicPe32 : kMagicPe32Plus;
        std::string want_kind = want_i386 ? "PE32" : "PE32+";
        std::string kind = img_.pe32_plus() ? "PE32+" : "PE32";
        if (img_.magic == want_magic)
            ok("magic", "optional header " + kind + " (" + hex(img_.magic) + ")");
        else
            fail("magic", "optional header is " + kind + " (" + hex(img_.magic) + "), expected " + want_kind);
    }

    bool dll() const { return options_.kind == Kind::dll; }

    void check_characteristics() {
        std::uint16_t c = img_.characteristics;
        if (!(c & kFileExecutableImage)) {
            fail("characteristics", "IMAGE_FILE_EXECUTABLE_IMAGE is not set (" + hex(c) + ")");
        } else if (c & kFileRelocsStripped) {
            fail("characteristics", "relocations stripped (" + hex(c) + "): the loader cannot move the image");
        } else if (dll() && !(c & kFileDll)) {
            fail("characteristics", "IMAGE_FILE_DLL is not set (" + hex(c) + "): the image is not a DLL");
        } else {
            ok("characteristics", "executable image, relocations kept (" + hex(c) + ")" +
                                      ((c & kFileDll) ? ", linked as DLL" : ""));
        }
    }

    void check_subsystem() {
        const std::uint16_t want = dll() ? kSubsystemWindowsGui : kSubsystemNative;
        const std::string name = dll() ? "WINDOWS_GUI (2)" : "NATIVE (1)";
        if (img_.subsystem == want)
            ok("subsystem", "subsystem " + name);
        else
            fail("subsystem", "subsystem is " + std::to_string(img_.subsystem) + ", expected " + name);
    }

    void check_entry() {
        std::uint32_t e = img_.entry_rva;
        if (e == 0) {
            fail("entry", "entry point RVA is 0");
            return;
        }
        const Section* s = section_for_rva(img_, e);
        if (!s) {
            fail("entry", "entry point " + hex(e) + " lies in no section");
            return;
        }
        if (!s->executable()) {
            fail("entry", "entry point " + hex(e) + " lies in non-code section " + s->name);
            return;
        }
        // Where the linker put the entry routine (DriverEntry, DllMain): the
        // COFF symbol (x64 name, or the __stdcall-decorated x86 name), else
        // an export of that name.
        const std::string entry = dll() ? "DllMain" : "DriverEntry";
        const std::string stdcall_entry = "_" + entry + (dll() ? "@12" : "@8");
        const std::string caller = dll() ? "the loader" : "the kernel";
        bool i386 = img_.machine == kMachineI386;
        if (i386) {
            // A cdecl entry routine leaves its arguments on the stack of a
            // caller that expects the callee to pop them. (ld may alias the
            // undecorated name to the __stdcall one: that is the same code.)
            const Symbol* cdecl_entry = find_symbol(img_, {"_" + entry});
            const Symbol* stdcall = find_symbol(img_, {stdcall_entry});
            auto rva = cdecl_entry ? symbol_rva(img_, *cdecl_entry) : std::nullopt;
            auto stdcall_rva = stdcall ? symbol_rva(img_, *stdcall) : std::nullopt;
            if (rva && *rva == e && stdcall_rva != rva) {
                fail("entry", "entry point " + hex(e) + " is _" + entry + ", a cdecl function; " + caller + " calls " +
                                  entry + " as __stdcall");
                return;
            }
        }
        const Symbol* sym = i386 ? find_symbol(img_, {stdcall_entry, entry}) : find_symbol(img_, {entry});
        if (sym) {
            auto rva = symbol_rva(img_, *sym);
            if (rva && *rva == e) {
                ok("entry", "entry point " + hex(e) + " in " + s->name + " is " + sym->name);
            } else {
                fail("entry", "entry point " + hex(e) + " is not " + sym->name + " (at " +
                                  (rva ? hex(*rva) : std::string("?")) + ")");
            }
            return;
        }
        std::vector<std::string> names;
        auto at_entry = export_names_at(img_, e, &names);
        if (std::find(names.begin(), names.end(), entry) != names.end()) {
            if (std::find(at_entry.begin(), at_entry.end(), entry) != at_entry.end())
                ok("entry", "entry point " + hex(e) + " in " + s->name + " is the " + entry + " export");
            else
                fail("entry", "entry point " + hex(e) + " is not the " + entry + " export");
            return;
        }
        ok("entry", "entry point " + hex(e) + " in code section " + s->name);
        note("no " + entry + " symbol or export: entry checked only for lying in code");
    }

    void check_dll_characteristics() {
        std::uint16_t d = img_.dll_characteristics;
        std::vector<std::string> problems;
        if (d & kDllReservedBits) problems.push_back("reserved bits " + hex(d & kDllReservedBits));
        if ((d & kDllHighEntropyVa) && !img_.pe32_plus()) problems.push_back("HIGH_ENTROPY_VA on a PE32 image");
        if (d & kDllAppContainer) problems.push_back("APPCONTAINER");
        if (d & kDllTerminalServerAware) problems.push_back("TERMINAL_SERVER_AWARE");
        if ((d & kDllGuardCf) && !img_.directory(kDirLoadConfig).present())
            problems.push_back("GUARD_CF without a load-configuration directory");
        if ((d & kDllForceIntegrity) && !img_.directory(kDirSecurity).present())
            problems.push_back("FORCE_INTEGRITY on an unsigned image");
        if (!(d & kDllNxCompat)) problems.push_back("NX_COMPAT missing");
        if (!dll() && !(d & kDllWdmDriver)) problems.push_back("WDM_DRIVER missing");
        if (dll() && (d & kDllWdmDriver)) problems.push_back("WDM_DRIVER on a user-mode DLL");
        if (dll() && !(d & kDllDynamicBase)) problems.push_back("DYNAMIC_BASE missing");
        if (problems.empty()) {
            std::string flags;
            if (d & kDllDynamicBase) flags += " DYNAMIC_BASE";
            if (d & kDllHighEntropyVa) flags += " HIGH_ENTROPY_VA";
            flags += dll() ? " NX_COMPAT" : " NX_COMPAT WDM_DRIVER";
            ok("dllchar", "DLL characteristics " + hex(d) + ":" + flags);
        } else {
            std::string all;
            for (const auto& p : problems) all += (all.empty() ? "" : ", ") + p;
            fail("dllchar", "DLL characteristics " + hex(d) + ": " + all);
        }
    }

    void check_sections() {
        std::vector<std::string> wx;
        for (const Section& s : img_.sections)
            if ((s.characteristics & kScnMemWrite) && s.executable()) wx.push_back(s.name);
        if (wx.empty()) {
            ok("sections", "no section is both writable and executable");
        } else {
            std::string all;
            for (const auto& n : wx) all += (all.empty() ? "" : ", ") + n;
            fail("sections", "writable and executable: " + all);
        }
    }

    void check_relocations() {
        DataDirectory r = img_.directory(kDirBaseReloc);
        if (r.present() && r.size != 0) {
            ok("relocs", "base relocations present (" + std::to_string(r.size) + " bytes)");
        } else if (!img_.pe32_plus()) {
            // 32-bit code addresses globals absolutely; without fixups it
            // only works at its preferred base, which a driver never gets.
            fail("relocs", "no base relocations in a 32-bit image");
        } else {
            ok("relocs", "no base relocations (none needed: all references are RIP-relative)");
        }
    }

    void check_imports() {
        std::vector<std::string> allowed = options_.allowed_imports;
        if (allowed.empty()) allowed = {"ntoskrnl.exe", "HAL.dll"};
        std::map<std::string, std::string> dlls;  // lower -> as spelled
        for (const Import& imp : parse_imports(img_)) dlls.emplace(lower(imp.dll), imp.dll);
        std::string seen;
        bool bad = false;
        for (const auto& [key, spelled] : dlls) {
            seen += (seen.empty() ? "" : ", ") + spelled;
            bool ok_dll = std::any_of(allowed.begin(), allowed.end(),
                                      [&](const std::string& a) { return lower(a) == key; });
            if (runtime_dll_name(spelled)) {
                fail("imports", "imports from C/C++ runtime library " + spelled);
                bad = true;
            } else if (!ok_dll) {
                fail("imports", "imports from " + spelled + ", which is not allowed");
                bad = true;
            }
        }
        if (!bad) ok("imports", "imports only from allowed DLLs: " + (seen.empty() ? std::string("(none)") : seen));

        std::vector<std::string> rt;
        for (const Import& imp : parse_imports(img_)) {
            std::string why;
            if (!imp.by_ordinal && runtime_symbol_name(imp.symbol, &why))
                rt.push_back(imp.dll + "!" + imp.symbol + " (" + why + ")");
        }
        if (rt.empty()) {
            ok("runtime-imports", "no C++ runtime symbols imported");
        } else {
            for (const auto& r : rt) fail("runtime-imports", "imports " + r);
        }
    }

    void check_delay_imports() {
        if (img_.directory(kDirDelayImport).present())
            fail("delay-imports", "delay-load imports present; the kernel has no delay-load helper");
        else
            ok("delay-imports", "no delay-load imports");
    }

    void check_tls() {
        bool bad = false;
        if (img_.directory(kDirTls).present()) {
            fail("tls", "TLS directory present; kernel images get no TLS");
            bad = true;
        }
        for (const Section& s : img_.sections) {
            if ((s.name == ".tls" || starts_with_ci(s.name, ".tls$")) && s.content_size() != 0) {
                fail("tls", "section " + s.name + " holds thread-local data");
                bad = true;
            }
        }
        if (!bad) ok("tls", "no TLS directory or .tls data");
    }

    void check_static_constructors() {
        bool bad = false;
        for (const Section& s : img_.sections) {
            bool ctor_section = s.name == ".ctors" || s.name == ".dtors" || s.name == ".init_array" ||
                                s.name == ".fini_array" || starts_with_ci(s.name, ".ctors.") ||
                                starts_with_ci(s.name, ".CRT");
            if (ctor_section && s.content_size() != 0) {
                fail("ctors", "section " + s.name + " has " + std::to_string(s.content_size()) +
                                  " bytes of static constructors/destructors");
                bad = true;
            }
        }
        // GNU ld folds .ctors/.dtors into .text between __CTOR_LIST__ and
        // __DTOR_LIST__. Nothing runs that list in a -nostdlib driver, so
        // any entry means a global object that is never constructed.
        if (img_.symbols.empty()) {
            if (!bad) ok("ctors", "no static-constructor sections");
            note("image has no symbol table: merged constructor lists not examined");
            return;
        }
        auto ctors = count_list_entries(img_, {"__CTOR_LIST__", "___CTOR_LIST__"});
        auto dtors = count_list_entries(img_, {"__DTOR_LIST__", "___DTOR_LIST__"});
        if (ctors && *ctors != 0) {
            fail("ctors", std::to_string(*ctors) + " static constructor(s) in __CTOR_LIST__ (never run in a driver)");
            bad = true;
        }
        if (dtors && *dtors != 0) {
            fail("ctors", std::to_string(*dtors) + " static destructor(s) in __DTOR_LIST__ (never run in a driver)");
            bad = true;
        }
        if (!bad) {
            ok("ctors", std::string("no static constructors") +
                            (ctors ? " (__CTOR_LIST__ empty)" : " (no constructor list)"));
        }
    }

    void check_runtime_symbols() {
        std::vector<std::string> found;
        for (const Symbol& s : img_.symbols) {
            std::string why;
            if (s.section_number > 0 && !s.name.empty() && s.name.substr(0, 2) != "_Z" &&
                s.name.substr(0, 3) != "__Z" && runtime_symbol_name(s.name, &why))
                found.push_back(s.name);
        }
        if (found.empty()) {
            ok("runtime-symbols", img_.symbols.empty() ? "no symbol table to examine"
                                                       : "no C++ runtime code linked in");
        } else {
            std::string all;
            for (std::size_t i = 0; i < found.size() && i < 8; ++i) all += (i ? ", " : "") + found[i];
            fail("runtime-symbols", "C++ runtime code linked in: " + all);
        }
    }

    void check_unwind_tables() {
        bool bad = false;
        for (const Section& s : img_.sections) {
            if ((s.name == ".eh_frame" || s.name == ".gcc_except_table") && s.content_size() != 0) {
                fail("unwind", "section " + s.name + " present: built with unwind tables or exceptions");
                bad = true;
            }
        }
        if (!bad) ok("unwind", "no .eh_frame / .gcc_except_table");
    }

    // Every required name is exported exactly so: a decorated or
    // differently spelled name is not found by GetProcAddress.
    void check_exports() {
        std::vector<std::string> names;
        export_names_at(img_, 0, &names);
        bool bad = false;
        for (const std::string& want : options_.exports) {
            if (std::find(names.begin(), names.end(), want) != names.end()) continue;
            std::string near;
            for (const std::string& n : names)
                if (n.find(want) != std::string::npos) near += (near.empty() ? " (exports " : ", ") + n;
            fail("exports", "does not export " + want + (near.empty() ? std::string() : near + ")"));
            bad = true;
        }
        if (!bad) {
            std::string all;
            for (const std::string& n : names) all += (all.empty() ? "" : ", ") + n;
            ok("exports", "exports " + (all.empty() ? std::string("nothing") : all));
        }
    }

    const Resource* find_resource(std::uint32_t type, std::uint32_t name, std::optional<std::uint32_t> language) {
        if (!resources_) resources_ = parse_resources(img_);
        for (const Resource& r : *resources_)
            if (r.type == type && (name == kNamedResource || r.name == name) && (!language || r.language == *language))
                return &r;
        return nullptr;
    }

    std::vector<std::uint8_t> resource_bytes(const Resource& r) const {
        return std::vector<std::uint8_t>(file_.begin() + static_cast<std::ptrdiff_t>(r.offset),
                                         file_.begin() + static_cast<std::ptrdiff_t>(r.offset + r.size));
    }

    void check_dialog(const DialogExpectation& want) {
        const std::string what =
            "dialog " + std::to_string(want.resource_id) + " (language " + hex(want.language) + ")";
        const Resource* r = find_resource(kResourceDialog, want.resource_id, want.language);
        if (!r) {
            fail("dialog", "no " + what + " in the resource section");
            return;
        }
        const DialogTemplate got = parse_dialog_template(resource_bytes(*r));
        const DialogTemplate& w = want.dialog;
        std::vector<std::string> diffs;
        auto same = [&](const std::string& field, const auto& g, const auto& e) {
            if (g != e) diffs.push_back(field);
        };
        same("style", got.style, w.style);
        same("extended style", got.exstyle, w.exstyle);
        same("rectangle", std::make_tuple(got.x, got.y, got.cx, got.cy), std::make_tuple(w.x, w.y, w.cx, w.cy));
        same("menu", got.menu, w.menu);
        same("class", got.window_class, w.window_class);
        same("caption", got.caption, w.caption);
        same("font", std::make_tuple(got.has_font, got.point_size, got.typeface),
             std::make_tuple(w.has_font, w.point_size, w.typeface));
        same("control count", got.items.size(), w.items.size());
        for (std::size_t i = 0; i < std::min(got.items.size(), w.items.size()); ++i) {
            const DialogItem& g = got.items[i];
            const DialogItem& e = w.items[i];
            const std::string c = "control " + std::to_string(i + 1) + " ";
            same(c + "class", g.window_class, e.window_class);
            same(c + "id", g.id, e.id);
            same(c + "text", g.text, e.text);
            same(c + "style", g.style, e.style);
            same(c + "extended style", g.exstyle, e.exstyle);
            same(c + "rectangle", std::make_tuple(g.x, g.y, g.cx, g.cy), std::make_tuple(e.x, e.y, e.cx, e.cy));
            same(c + "creation data", g.extra, e.extra);
        }
        if (diffs.empty()) {
            ok("dialog",
               what + " matches: style " + hex(got.style) + ", " + std::to_string(got.items.size()) + " controls");
        } else {
            for (const std::string& d : diffs) fail("dialog", what + ": " + d + " differs");
        }
    }

    // VS_VERSIONINFO: key, fixed part with its signature, and the file type
    // the image is.
    void check_version() {
        const Resource* r = find_resource(kResourceVersion, kNamedResource, std::nullopt);
        if (!r) {
            fail("version", "no version record in the resource section");
            return;
        }
        const std::vector<std::uint8_t> v = resource_bytes(*r);
        std::size_t at = 6;
        const std::string key = read_sz_or_ord(v, at, false);
        const std::uint16_t value_length = rd16(v, 2);
        at = align4(at);
        if (key != "VS_VERSION_INFO" || value_length != 52 || rd32(v, at) != kVersionSignature) {
            fail("version", "version record is not a VS_VERSION_INFO with a fixed part");
            return;
        }
        const std::uint32_t file_type = rd32(v, at + 36);
        const std::uint32_t want = dll() ? kVftDll : kVftDrv;
        if (file_type != want) {
            fail("version",
                 "version record gives file type " + std::to_string(file_type) + ", expected " + std::to_string(want));
            return;
        }
        ok("version", "version record " + std::to_string(rd32(v, at + 8) >> 16) + "." +
                          std::to_string(rd32(v, at + 8) & 0xffff) + "." + std::to_string(rd32(v, at + 12) >> 16) +
                          "." + std::to_string(rd32(v, at + 12) & 0xffff));
    }

    // Reproducible images: a link leaves no time in the image, so two links
    // of the same objects give the same bytes (and the same checksum).
    void check_timestamps() {
        const auto& b = file_;
        std::vector<std::string> stamped;
        const std::uint32_t header = rd32(b, std::size_t{rd32(b, 0x3c)} + 8);
        if (header != 0) stamped.push_back("file header " + hex(header));
        const std::pair<int, const char*> tables[] = {{kDirExport, "export directory"},
                                                      {kDirResource, "resource directory"}};
        for (const auto& [index, name] : tables) {
            DataDirectory dir = img_.directory(index);
            if (!dir.present()) continue;
            const std::uint32_t stamp = rd32(b, rva_to_offset(img_, dir.rva) + 4);
            if (stamp != 0) stamped.push_back(std::string(name) + " " + hex(stamp));
        }
        DataDirectory debug = img_.directory(kDirDebug);
        if (debug.present()) {
            const std::size_t at = rva_to_offset(img_, debug.rva);
            for (std::uint32_t i = 0; i + 28 <= debug.size; i += 28) {
                if (rd32(b, at + i + 4) != 0) stamped.push_back("debug entry " + hex(rd32(b, at + i + 4)));
            }
        }
        if (stamped.empty()) {
            ok("timestamp", "no link time recorded");
        } else {
            std::string all;
            for (const std::string& s : stamped) all += (all.empty() ? "" : ", ") + s;
            fail("timestamp", "link time recorded (" + all + "): two links differ");
        }
    }

    void check_checksum() {
        std::uint32_t want = compute_checksum(file_, img_.checksum_offset);
        if (img_.checksum == want)
            ok("checksum", "image checksum " + hex(want));
        else
            fail("checksum", "image checksum is " + hex(img_.checksum) + ", file sums to " + hex(want));
    }

    const std::vector<std::uint8_t>& file_;
    const Options& options_;
    Image img_;
    Report report_;
    std::optional<std::vector<Resource>> resources_;
};

std::optional<std::vector<std::uint8_t>> read_file(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    return data;
}

constexpr std::string_view kUsage =
    "usage: pecheck --expect-machine i386|amd64 [--dll] [--allow-import DLL]... [--export NAME]...\n"
    "               [--expect-dialog FILE]... [--expect-version] [--list-imports] FILE\n"
    "       pecheck --list-imports FILE\n"
    "Checks that FILE is a native kernel image (or with --dll a Windows DLL whose\n"
    "entry point is DllMain) for the given machine that imports only from the\n"
    "allowed DLLs (default: ntoskrnl.exe, HAL.dll; the --allow-import list replaces\n"
    "the default), exports every --export name exactly, holds the dialog templates\n"
    "the --expect-dialog files describe and a version record (--expect-version), and\n"
    "carries no C++ runtime, TLS or static constructors. Prints one 'ok:' or 'FAIL:'\n"
    "line per check; exits 1 on failure.\n";

}  // namespace

std::size_t Report::failures() const {
    return static_cast<std::size_t>(
        std::count_if(verdicts.begin(), verdicts.end(), [](const Verdict& v) { return !v.ok; }));
}

bool Report::failed(const std::string& id) const {
    return std::any_of(verdicts.begin(), verdicts.end(), [&](const Verdict& v) { return v.id == id && !v.ok; });
}

bool Report::passed(const std::string& id) const {
    bool seen = false;
    for (const Verdict& v : verdicts) {
        if (v.id != id) continue;
        if (!v.ok) return false;
        seen = true;
    }
    return seen;
}

Report check_image(const std::vector<std::uint8_t>& file, const Options& options) {
    return Checker(file, options).run();
}

DialogTemplate parse_dialog_template(const std::vector<std::uint8_t>& b) {
    DialogTemplate t;
    if (rd16(b, 0) == 1 && rd16(b, 2) == 0xffff) throw FormatError("an extended (DIALOGEX) template");
    t.style = rd32(b, 0);
    t.exstyle = rd32(b, 4);
    const std::uint16_t count = rd16(b, 8);
    if (count > kMaxDialogItems) throw FormatError("dialog template with " + std::to_string(count) + " controls");
    t.x = static_cast<std::int16_t>(rd16(b, 10));
    t.y = static_cast<std::int16_t>(rd16(b, 12));
    t.cx = static_cast<std::int16_t>(rd16(b, 14));
    t.cy = static_cast<std::int16_t>(rd16(b, 16));
    std::size_t at = 18;
    t.menu = read_sz_or_ord(b, at, true);
    t.window_class = read_sz_or_ord(b, at, true);
    t.caption = read_sz_or_ord(b, at, false);
    if (t.style & kDsSetFont) {
        t.has_font = true;
        t.point_size = rd16(b, at);
        at += 2;
        t.typeface = read_sz_or_ord(b, at, false);
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        at = align4(at);
        DialogItem item;
        item.style = rd32(b, at);
        item.exstyle = rd32(b, at + 4);
        item.x = static_cast<std::int16_t>(rd16(b, at + 8));
        item.y = static_cast<std::int16_t>(rd16(b, at + 10));
        item.cx = static_cast<std::int16_t>(rd16(b, at + 12));
        item.cy = static_cast<std::int16_t>(rd16(b, at + 14));
        item.id = rd16(b, at + 16);
        at += 18;
        item.window_class = read_sz_or_ord(b, at, true);
        item.text = read_sz_or_ord(b, at, true);
        item.extra = rd16(b, at);
        at += 2;
        need(b, at, item.extra);
        at += item.extra;
        t.items.push_back(item);
    }
    return t;
}

namespace {

// Words of a line of the expectation text: numbers, bare words, and
// double-quoted strings (kept with their quotes).
std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> words;
    for (std::size_t i = 0; i < line.size();) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
        } else if (line[i] == '"') {
            std::size_t end = line.find('"', i + 1);
            if (end == std::string::npos) throw FormatError("unterminated string");
            words.push_back(line.substr(i, end - i + 1));
            i = end + 1;
        } else {
            std::size_t end = line.find_first_of(" \t", i);
            if (end == std::string::npos) end = line.size();
            words.push_back(line.substr(i, end - i));
            i = end;
        }
    }
    return words;
}

long number_of(const std::string& word) {
    std::size_t used = 0;
    long v = std::stol(word, &used, 0);
    if (used != word.size()) throw FormatError("not a number: " + word);
    return v;
}

// "none" or "" (nothing), "#N" or a number (an ordinal or atom), "text".
std::string name_of(const std::string& word) {
    if (word == "none" || word == "\"\"") return "";
    if (word.size() >= 2 && word.front() == '"' && word.back() == '"') return word.substr(1, word.size() - 2);
    if (!word.empty() && word[0] == '#') return "#" + std::to_string(number_of(word.substr(1)));
    return "#" + std::to_string(number_of(word));
}

}  // namespace

bool parse_dialog_expectation(const std::string& text, DialogExpectation& out, std::string& error) {
    DialogExpectation e;
    std::istringstream lines(text);
    int line_number = 0;
    try {
        for (std::string line; std::getline(lines, line);) {
            ++line_number;
            std::vector<std::string> w = words_of(line.substr(0, line.find('#') == 0 ? 0 : line.size()));
            if (w.empty()) continue;
            auto at = [&](std::size_t i) -> const std::string& {
                if (i >= w.size()) throw FormatError("'" + w[0] + "' needs more values");
                return w[i];
            };
            auto s16 = [&](std::size_t i) { return static_cast<std::int16_t>(number_of(at(i))); };
            if (w[0] == "dialog") {
                e.resource_id = static_cast<std::uint16_t>(number_of(at(1)));
                if (at(2) != "language") throw FormatError("dialog N language L");
                e.language = static_cast<std::uint16_t>(number_of(at(3)));
            } else if (w[0] == "style") {
                e.dialog.style = static_cast<std::uint32_t>(number_of(at(1)));
            } else if (w[0] == "exstyle") {
                e.dialog.exstyle = static_cast<std::uint32_t>(number_of(at(1)));
            } else if (w[0] == "rect") {
                e.dialog.x = s16(1), e.dialog.y = s16(2), e.dialog.cx = s16(3), e.dialog.cy = s16(4);
            } else if (w[0] == "menu") {
                e.dialog.menu = name_of(at(1));
            } else if (w[0] == "class") {
                e.dialog.window_class = name_of(at(1));
            } else if (w[0] == "caption") {
                e.dialog.caption = name_of(at(1));
            } else if (w[0] == "font") {
                e.dialog.has_font = true;
                e.dialog.point_size = static_cast<std::uint16_t>(number_of(at(1)));
                e.dialog.typeface = name_of(at(2));
            } else if (w[0] == "control") {
                // control KEY VALUE... with keys class, id, text, style,
                // exstyle, rect (four values), extra.
                DialogItem item;
                for (std::size_t i = 1; i < w.size(); i += 2) {
                    const std::string& key = w[i];
                    if (key == "class")
                        item.window_class = name_of(at(i + 1));
                    else if (key == "id")
                        item.id = static_cast<std::uint16_t>(number_of(at(i + 1)));
                    else if (key == "text")
                        item.text = name_of(at(i + 1));
                    else if (key == "style")
                        item.style = static_cast<std::uint32_t>(number_of(at(i + 1)));
                    else if (key == "exstyle")
                        item.exstyle = static_cast<std::uint32_t>(number_of(at(i + 1)));
                    else if (key == "extra")
                        item.extra = static_cast<std::uint16_t>(number_of(at(i + 1)));
                    else if (key == "rect") {
                        item.x = s16(i + 1), item.y = s16(i + 2), item.cx = s16(i + 3), item.cy = s16(i + 4);
                        i += 3;
                    } else {
                        throw FormatError("unknown control field '" + key + "'");
                    }
                }
                e.dialog.items.push_back(item);
            } else {
                throw FormatError("unknown line '" + w[0] + "'");
            }
        }
    } catch (const std::exception& ex) {
        error = "line " + std::to_string(line_number) + ": " + ex.what();
        return false;
    }
    if (e.resource_id == 0) {
        error = "no 'dialog N language L' line";
        return false;
    }
    out = e;
    return true;
}

std::vector<Import> list_imports(const std::vector<std::uint8_t>& file) {
    Image img = parse(file);
    std::vector<Import> all = parse_imports(img);
    all.erase(std::remove_if(all.begin(), all.end(),
                             [](const Import& i) { return i.symbol.empty() && !i.by_ordinal; }),
              all.end());
    return all;
}

std::uint32_t compute_checksum(const std::vector<std::uint8_t>& file, std::size_t checksum_offset) {
    // 16-bit one's-complement style sum with end-around carry, then the file
    // length added: the algorithm the image loader uses.
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < file.size(); i += 2) {
        if (i >= checksum_offset && i < checksum_offset + 4) continue;
        std::uint32_t word = file[i];
        if (i + 1 < file.size()) word |= std::uint32_t{file[i + 1]} << 8;
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + file.size());
}

std::size_t checksum_field_offset(const std::vector<std::uint8_t>& file) {
    return parse(file).checksum_offset;
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options options;
    bool have_machine = false;
    bool want_list = false;
    std::string path;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& dst) {
            if (i + 1 >= args.size()) return false;
            dst = args[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            out << kUsage;
            return 0;
        } else if (a == "--expect-machine") {
            std::string m;
            if (!value(m)) {
                err << "pecheck: --expect-machine needs a value\n" << kUsage;
                return 2;
            }
            if (m == "i386") options.machine = Machine::i386;
            else if (m == "amd64") options.machine = Machine::amd64;
            else {
                err << "pecheck: unknown machine '" << m << "' (i386 or amd64)\n";
                return 2;
            }
            have_machine = true;
        } else if (a == "--allow-import") {
            std::string d;
            if (!value(d) || d.empty()) {
                err << "pecheck: --allow-import needs a DLL name\n" << kUsage;
                return 2;
            }
            options.allowed_imports.push_back(d);
        } else if (a == "--list-imports") {
            want_list = true;
        } else if (a == "--dll") {
            options.kind = Kind::dll;
        } else if (a == "--expect-version") {
            options.expect_version = true;
        } else if (a == "--export") {
            std::string name;
            if (!value(name) || name.empty()) {
                err << "pecheck: --export needs a name\n" << kUsage;
                return 2;
            }
            options.exports.push_back(name);
        } else if (a == "--expect-dialog") {
            std::string file, problem;
            if (!value(file)) {
                err << "pecheck: --expect-dialog needs a file\n" << kUsage;
                return 2;
            }
            auto text = read_file(file, problem);
            DialogExpectation dialog;
            if (!text || !parse_dialog_expectation(std::string(text->begin(), text->end()), dialog, problem)) {
                err << "pecheck: " << file << ": " << problem << "\n";
                return 2;
            }
            options.dialogs.push_back(dialog);
        } else if (!a.empty() && a[0] == '-') {
            err << "pecheck: unknown option " << a << "\n" << kUsage;
            return 2;
        } else if (path.empty()) {
            path = a;
        } else {
            err << "pecheck: more than one FILE given\n" << kUsage;
            return 2;
        }
    }
    if (path.empty() || (!have_machine && !want_list)) {
        err << kUsage;
        return 2;
    }

    std::string error;
    auto data = read_file(path, error);
    if (!data) {
        // A missing image is a failed check, not a usage problem: callers
        // (ctest) must see it as red.
        out << "FAIL: " << error << "\n";
        return 1;
    }

    if (want_list) {
        try {
            for (const Import& imp : list_imports(*data)) {
                if (imp.by_ordinal) out << imp.dll << "!#" << imp.ordinal << "\n";
                else out << imp.dll << "!" << imp.symbol << "\n";
            }
        } catch (const std::exception& e) {
            out << "FAIL: " << path << ": not a readable PE image: " << e.what() << "\n";
            return 1;
        }
        if (!have_machine) return 0;
    }

    out << "pecheck: " << path << "\n";
    Report report = check_image(*data, options);
    for (const Verdict& v : report.verdicts) out << (v.ok ? "ok: " : "FAIL: ") << v.message << "\n";
    for (const std::string& n : report.notes) out << "note: " << n << "\n";
    std::size_t failed = report.failures();
    out << "pecheck: " << report.verdicts.size() - failed << " passed, " << failed << " failed\n";
    return failed == 0 ? 0 : 1;
}

}  // namespace pecheck
