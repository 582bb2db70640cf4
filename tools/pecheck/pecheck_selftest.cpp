// pecheck_selftest: proves pecheck's verdicts flip when an image is wrong.
//
// Builds small but complete PE images in memory (headers, .text, .idata,
// .reloc, COFF symbols; for DLLs .edata and .rsrc with a dialog template and
// a version record), checks that a well-formed one passes every check, then
// breaks one property at a time and asserts that exactly the matching check
// fails. Given FILE arguments (the built zendra.sys and zendraprops.dll), it
// also corrupts copies of those files the same way.
//
// Prints one line per case and a closing "N passed, N failed" line; exits
// non-zero if any case failed.

#include "pecheck.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

using pecheck::Machine;
using Bytes = std::vector<std::uint8_t>;

// --- image builder -----------------------------------------------------------

constexpr std::uint32_t kScnCode = 0x00000020;
constexpr std::uint32_t kScnInitData = 0x00000040;
constexpr std::uint32_t kScnExec = 0x20000000;
constexpr std::uint32_t kScnRead = 0x40000000;
constexpr std::uint32_t kScnWrite = 0x80000000;

constexpr std::uint32_t kPeOffset = 0x80;
constexpr std::uint32_t kCoffOffset = kPeOffset + 4;
constexpr std::uint32_t kOptOffset = kCoffOffset + 20;
constexpr std::uint32_t kHeaderSize = 0x400;
constexpr std::uint32_t kSectionAlign = 0x1000;
constexpr std::uint32_t kFileAlign = 0x200;

struct ExtraSection {
    std::string name;
    std::uint32_t characteristics;
    std::uint32_t size;
};

struct Recipe {
    Machine machine = Machine::amd64;
    std::uint16_t subsystem = 1;
    std::uint16_t characteristics = 0;       // 0: what a driver link produces
    std::uint16_t dll_characteristics = 0;   // 0: what a driver link produces
    std::vector<std::pair<std::string, std::vector<std::string>>> imports = {
        {"ntoskrnl.exe", {"IoCreateDevice", "IofCompleteRequest"}},
        {"HAL.dll", {"KeGetCurrentIrql"}},
    };
    bool relocs = true;
    bool symbols = true;
    std::string entry_symbol;                // "": DriverEntry / _DriverEntry@8
    std::uint32_t entry_rva = 0x1010;
    std::uint32_t entry_symbol_offset = 0x10;  // within .text
    int ctor_entries = -1;                   // -1: no __CTOR_LIST__ symbol
    bool tls_directory = false;
    bool delay_import_directory = false;
    std::uint32_t text_characteristics = kScnCode | kScnExec | kScnRead;
    std::vector<ExtraSection> extra;
    // A user-mode DLL: IMAGE_FILE_DLL, Windows subsystem, no WDM_DRIVER,
    // entry symbol DllMain (_DllMain@12 on i386).
    bool dll = false;
    // Exported names, each at an offset in .text (0: the entry routine).
    std::vector<std::pair<std::string, std::uint32_t>> exports;
    // Resources: type, name, language, data.
    struct Resource {
        std::uint16_t type, name, language;
        Bytes data;
    };
    std::vector<Resource> resources;
};

void put(Bytes& b, std::size_t off, std::uint64_t v, std::size_t n) {
    if (b.size() < off + n) b.resize(off + n, 0);
    for (std::size_t i = 0; i < n; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_str(Bytes& b, std::size_t off, const std::string& s) {
    if (b.size() < off + s.size() + 1) b.resize(off + s.size() + 1, 0);
    std::memcpy(&b[off], s.data(), s.size());
    b[off + s.size()] = 0;
}
std::uint32_t align_up(std::uint32_t v, std::uint32_t a) { return (v + a - 1) / a * a; }

// The export directory, address, name and ordinal tables and the strings,
// laid out for a section that starts at `base_rva`.
Bytes build_edata(const Recipe& recipe, std::uint32_t base_rva) {
    const std::size_t n = recipe.exports.size();
    const std::size_t functions = 40, names = functions + 4 * n, ordinals = names + 4 * n;
    Bytes b(ordinals + 2 * n, 0);
    std::size_t dll_name = b.size();
    put_str(b, dll_name, "image.dll");
    put(b, 12, base_rva + dll_name, 4);
    put(b, 16, 1, 4);  // ordinal base
    put(b, 20, n, 4);
    put(b, 24, n, 4);
    put(b, 28, base_rva + functions, 4);
    put(b, 32, base_rva + names, 4);
    put(b, 36, base_rva + ordinals, 4);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = b.size();
        put_str(b, at, recipe.exports[i].first);
        put(b, functions + 4 * i, 0x1000 + recipe.exports[i].second, 4);
        put(b, names + 4 * i, base_rva + at, 4);
        put(b, ordinals + 2 * i, i, 2);
    }
    return b;
}

// The resource tree (type, name, language) and the data, for a section that
// starts at `base_rva`. Types and names in the order given, one language
// each.
Bytes build_rsrc(const Recipe& recipe, std::uint32_t base_rva) {
    const auto& all = recipe.resources;
    const std::size_t n = all.size();
    // One directory per level per resource keeps the layout simple: a root
    // with n type entries, n name directories and n language directories of
    // one entry each (types may repeat; the reader takes them as they come).
    const std::size_t root = 0, names = 16 + 8 * n, languages = names + 24 * n, leaves = languages + 24 * n;
    Bytes b(leaves + 16 * n, 0);
    put(b, root + 14, n, 2);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t name_dir = names + 24 * i, language_dir = languages + 24 * i, leaf = leaves + 16 * i;
        put(b, root + 16 + 8 * i, all[i].type, 4);
        put(b, root + 16 + 8 * i + 4, 0x80000000u | name_dir, 4);
        put(b, name_dir + 14, 1, 2);
        put(b, name_dir + 16, all[i].name, 4);
        put(b, name_dir + 20, 0x80000000u | language_dir, 4);
        put(b, language_dir + 14, 1, 2);
        put(b, language_dir + 16, all[i].language, 4);
        put(b, language_dir + 20, leaf, 4);
        const std::size_t data = align_up(static_cast<std::uint32_t>(b.size()), 4);
        b.resize(data, 0);
        b.insert(b.end(), all[i].data.begin(), all[i].data.end());
        put(b, leaf, base_rva + data, 4);
        put(b, leaf + 4, all[i].data.size(), 4);
    }
    return b;
}

// A name that may be an ordinal, as templates hold it.
void put_sz_or_ord(Bytes& b, const std::string& name) {
    if (!name.empty() && name[0] == '#') {
        put(b, b.size(), 0xffff, 2);
        put(b, b.size(), std::stoul(name.substr(1)), 2);
        return;
    }
    for (char c : name) put(b, b.size(), static_cast<unsigned char>(c), 2);
    put(b, b.size(), 0, 2);
}

// A classic dialog template: what parse_dialog_template reads back.
Bytes dialog_bytes(const pecheck::DialogTemplate& t) {
    Bytes b;
    put(b, 0, t.style, 4);
    put(b, 4, t.exstyle, 4);
    put(b, 8, t.items.size(), 2);
    put(b, 10, static_cast<std::uint16_t>(t.x), 2);
    put(b, 12, static_cast<std::uint16_t>(t.y), 2);
    put(b, 14, static_cast<std::uint16_t>(t.cx), 2);
    put(b, 16, static_cast<std::uint16_t>(t.cy), 2);
    put_sz_or_ord(b, t.menu);
    put_sz_or_ord(b, t.window_class);
    put_sz_or_ord(b, t.caption);
    if (t.has_font) {
        put(b, b.size(), t.point_size, 2);
        put_sz_or_ord(b, t.typeface);
    }
    for (const pecheck::DialogItem& item : t.items) {
        b.resize(align_up(static_cast<std::uint32_t>(b.size()), 4), 0);
        const std::size_t at = b.size();
        put(b, at, item.style, 4);
        put(b, at + 4, item.exstyle, 4);
        put(b, at + 8, static_cast<std::uint16_t>(item.x), 2);
        put(b, at + 10, static_cast<std::uint16_t>(item.y), 2);
        put(b, at + 12, static_cast<std::uint16_t>(item.cx), 2);
        put(b, at + 14, static_cast<std::uint16_t>(item.cy), 2);
        put(b, at + 16, item.id, 2);
        put_sz_or_ord(b, item.window_class);
        put_sz_or_ord(b, item.text);
        put(b, b.size(), item.extra, 2);
        b.resize(b.size() + item.extra, 0x5a);
    }
    return b;
}

// A VS_VERSIONINFO with its fixed part and nothing else.
Bytes version_bytes(std::uint32_t file_type, std::uint32_t signature = 0xFEEF04BD) {
    Bytes b;
    put(b, 2, 52, 2);  // wValueLength: the fixed part
    std::size_t at = 6;
    for (char c : std::string("VS_VERSION_INFO")) put(b, at, static_cast<unsigned char>(c), 2), at += 2;
    put(b, at, 0, 2);
    at = align_up(static_cast<std::uint32_t>(at + 2), 4);
    put(b, at, signature, 4);
    put(b, at + 4, 0x10000, 4);
    put(b, at + 8, 0x00010000, 4);   // 1.0
    put(b, at + 12, 0x00020003, 4);  // .2.3
    put(b, at + 36, file_type, 4);
    put(b, at + 48, 0, 4);
    put(b, 0, b.size(), 2);  // wLength
    return b;
}

// Import directory, ILTs, IATs, hint/name entries and DLL names, laid out
// for a section that starts at `base_rva`.
Bytes build_idata(const Recipe& recipe, std::uint32_t base_rva, std::uint32_t& iat_rva, std::uint32_t& iat_size) {
    const std::size_t ptr = recipe.machine == Machine::amd64 ? 8 : 4;
    const auto& dlls = recipe.imports;
    std::size_t desc_size = (dlls.size() + 1) * 20;
    std::size_t off = desc_size;
    std::vector<std::size_t> ilt(dlls.size()), iat(dlls.size());
    for (std::size_t i = 0; i < dlls.size(); ++i) {
        ilt[i] = off;
        off += (dlls[i].second.size() + 1) * ptr;
    }
    std::size_t iat_begin = off;
    for (std::size_t i = 0; i < dlls.size(); ++i) {
        iat[i] = off;
        off += (dlls[i].second.size() + 1) * ptr;
    }
    iat_rva = base_rva + static_cast<std::uint32_t>(iat_begin);
    iat_size = static_cast<std::uint32_t>(off - iat_begin);
    Bytes b(off, 0);
    for (std::size_t i = 0; i < dlls.size(); ++i) {
        for (std::size_t k = 0; k < dlls[i].second.size(); ++k) {
            off = align_up(static_cast<std::uint32_t>(b.size()), 2);
            put(b, off, k, 2);  // hint
            put_str(b, off + 2, dlls[i].second[k]);
            put(b, ilt[i] + k * ptr, base_rva + off, ptr);
            put(b, iat[i] + k * ptr, base_rva + off, ptr);
        }
        std::size_t name = b.size();
        put_str(b, name, dlls[i].first);
        put(b, i * 20 + 0, base_rva + ilt[i], 4);
        put(b, i * 20 + 12, base_rva + name, 4);
        put(b, i * 20 + 16, base_rva + iat[i], 4);
    }
    return b;
}

Bytes build(const Recipe& recipe) {
    const bool plus = recipe.machine == Machine::amd64;
    const std::size_t ptr = plus ? 8 : 4;
    const std::uint64_t image_base = plus ? 0x140000000ull : 0x10000ull;

    struct Sec {
        std::string name;
        std::uint32_t characteristics;
        Bytes data;
        std::uint32_t virtual_size;
    };
    std::vector<Sec> secs;

    // .text at RVA 0x1000: int3 filler, a ret at the entry, and optionally a
    // GNU-style constructor list [-1, fn..., 0] at offset 0x40.
    Bytes text(0x100, 0xcc);
    text[recipe.entry_symbol_offset] = 0xc3;
    const std::uint32_t ctor_offset = 0x40;
    if (recipe.ctor_entries >= 0) {
        std::size_t o = ctor_offset;
        put(text, o, ~std::uint64_t{0}, ptr);
        o += ptr;
        for (int i = 0; i < recipe.ctor_entries; ++i, o += ptr) put(text, o, image_base + 0x1000, ptr);
        put(text, o, 0, ptr);  // terminator
        put(text, o + ptr, ~std::uint64_t{0}, ptr);  // __DTOR_LIST__: empty
        put(text, o + 2 * ptr, 0, ptr);
    }
    secs.push_back({".text", recipe.text_characteristics, text, static_cast<std::uint32_t>(text.size())});

    std::uint32_t iat_rva = 0, iat_size = 0;
    const std::uint32_t idata_rva = 0x2000;
    Bytes idata = build_idata(recipe, idata_rva, iat_rva, iat_size);
    secs.push_back({".idata", kScnInitData | kScnRead | kScnWrite, idata, static_cast<std::uint32_t>(idata.size())});

    std::uint32_t reloc_rva = 0, reloc_size = 0;
    if (recipe.relocs) {
        Bytes r;
        put(r, 0, 0x1000, 4);  // page
        put(r, 4, 12, 4);      // block size
        put(r, 8, (plus ? 10u : 3u) << 12 | 0x80, 2);  // DIR64 / HIGHLOW at .text+0x80
        put(r, 10, 0, 2);      // padding entry
        reloc_rva = 0x1000 * static_cast<std::uint32_t>(secs.size() + 1);
        reloc_size = static_cast<std::uint32_t>(r.size());
        secs.push_back({".reloc", kScnInitData | kScnRead | 0x02000000 /* discardable */, r, reloc_size});
    }
    std::uint32_t edata_rva = 0, edata_size = 0, rsrc_rva = 0, rsrc_size = 0;
    if (!recipe.exports.empty()) {
        edata_rva = 0x1000 * static_cast<std::uint32_t>(secs.size() + 1);
        Bytes e = build_edata(recipe, edata_rva);
        edata_size = static_cast<std::uint32_t>(e.size());
        secs.push_back({".edata", kScnInitData | kScnRead, e, edata_size});
    }
    if (!recipe.resources.empty()) {
        rsrc_rva = 0x1000 * static_cast<std::uint32_t>(secs.size() + 1);
        Bytes r = build_rsrc(recipe, rsrc_rva);
        rsrc_size = static_cast<std::uint32_t>(r.size());
        secs.push_back({".rsrc", kScnInitData | kScnRead, r, rsrc_size});
    }
    for (const ExtraSection& e : recipe.extra) secs.push_back({e.name, e.characteristics, Bytes(e.size, 0x11), e.size});

    Bytes b(kHeaderSize, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put(b, 0x3c, kPeOffset, 4);
    put(b, kPeOffset, 0x00004550, 4);

    std::uint16_t characteristics = recipe.characteristics;
    if (characteristics == 0) characteristics = plus ? 0x0022 : 0x0102;  // EXEC|LARGE_ADDR / EXEC|32BIT
    if (recipe.characteristics == 0 && recipe.dll) characteristics |= 0x2000;  // DLL
    std::uint16_t dllchar = recipe.dll_characteristics;
    if (dllchar == 0) dllchar = plus ? 0x2160 : 0x2140;  // (HIGH_ENTROPY|)DYNAMIC_BASE|NX|WDM
    if (recipe.dll_characteristics == 0 && recipe.dll) dllchar &= ~0x2000;  // no WDM_DRIVER
    const std::uint16_t opt_size = plus ? 240 : 224;
    put(b, kCoffOffset + 0, plus ? 0x8664 : 0x014c, 2);
    put(b, kCoffOffset + 2, secs.size(), 2);
    put(b, kCoffOffset + 16, opt_size, 2);
    put(b, kCoffOffset + 18, characteristics, 2);

    const std::uint32_t o = kOptOffset;
    put(b, o + 0, plus ? 0x20b : 0x10b, 2);
    put(b, o + 16, recipe.entry_rva, 4);
    put(b, o + 20, 0x1000, 4);  // BaseOfCode
    if (plus) put(b, o + 24, image_base, 8);
    else put(b, o + 28, image_base, 4);
    put(b, o + 32, kSectionAlign, 4);
    put(b, o + 36, kFileAlign, 4);
    put(b, o + 48, 6, 2);  // subsystem version 6.1
    put(b, o + 50, 1, 2);
    put(b, o + 56, 0x1000 * static_cast<std::uint32_t>(secs.size() + 1), 4);  // SizeOfImage
    put(b, o + 60, kHeaderSize, 4);
    put(b, o + 68, recipe.subsystem, 2);
    put(b, o + 70, dllchar, 2);
    const std::uint32_t dirs = o + (plus ? 112 : 96);
    put(b, o + (plus ? 108 : 92), 16, 4);
    auto dir = [&](int i, std::uint32_t rva, std::uint32_t size) {
        put(b, dirs + 8 * static_cast<std::uint32_t>(i), rva, 4);
        put(b, dirs + 8 * static_cast<std::uint32_t>(i) + 4, size, 4);
    };
    dir(1, idata_rva, static_cast<std::uint32_t>((recipe.imports.size() + 1) * 20));
    if (edata_rva != 0) dir(0, edata_rva, edata_size);
    if (rsrc_rva != 0) dir(2, rsrc_rva, rsrc_size);
    if (recipe.relocs) dir(5, reloc_rva, reloc_size);
    if (recipe.tls_directory) dir(9, 0x1000 + 0xa0, plus ? 40 : 24);
    if (recipe.delay_import_directory) dir(13, 0x1000 + 0xc0, 32);
    dir(12, iat_rva, iat_size);

    // Section table and raw data.
    std::uint32_t raw = kHeaderSize;
    const std::uint32_t table = o + opt_size;
    std::string strtab;  // COFF string table body (after its 4-byte size)
    auto long_name = [&](const std::string& n) {
        std::uint32_t at = 4 + static_cast<std::uint32_t>(strtab.size());
        strtab += n;
        strtab.push_back('\0');
        return at;
    };
    for (std::size_t i = 0; i < secs.size(); ++i) {
        const Sec& s = secs[i];
        const std::uint32_t h = table + static_cast<std::uint32_t>(i) * 40;
        if (s.name.size() > 8) {
            std::string ref = "/" + std::to_string(long_name(s.name));
            std::memcpy(&b[h], ref.data(), ref.size());
        } else {
            std::memcpy(&b[h], s.name.data(), s.name.size());
        }
        const std::uint32_t raw_size = align_up(static_cast<std::uint32_t>(s.data.size()), kFileAlign);
        put(b, h + 8, s.virtual_size, 4);
        put(b, h + 12, 0x1000 * static_cast<std::uint32_t>(i + 1), 4);
        put(b, h + 16, raw_size, 4);
        put(b, h + 20, raw, 4);
        put(b, h + 36, s.characteristics, 4);
        b.resize(raw + raw_size, 0);
        if (!s.data.empty()) std::memcpy(&b[raw], s.data.data(), s.data.size());
        raw += raw_size;
    }

    // COFF symbols: a section symbol with one aux record (exercises aux
    // skipping), the entry symbol, optionally the constructor lists.
    if (recipe.symbols) {
        struct Sym {
            std::string name;
            std::uint32_t value;
            std::int16_t section;
            std::uint8_t storage;
            std::uint8_t aux;
        };
        std::vector<Sym> syms;
        syms.push_back({".text", 0, 1, 3, 1});
        std::string entry = recipe.entry_symbol;
        if (entry.empty() && recipe.dll) entry = plus ? "DllMain" : "_DllMain@12";
        if (entry.empty()) entry = plus ? "DriverEntry" : "_DriverEntry@8";
        syms.push_back({entry, recipe.entry_symbol_offset, 1, 2, 0});
        if (recipe.ctor_entries >= 0) {
            const std::string u = plus ? "" : "_";
            const auto n = static_cast<std::uint32_t>(recipe.ctor_entries);
            syms.push_back({u + "__CTOR_LIST__", ctor_offset, 1, 2, 0});
            syms.push_back({u + "__DTOR_LIST__", ctor_offset + (n + 2) * static_cast<std::uint32_t>(ptr), 1, 2, 0});
        }
        std::size_t count = 0;
        for (const Sym& s : syms) count += 1u + s.aux;
        put(b, kCoffOffset + 8, b.size(), 4);
        put(b, kCoffOffset + 12, count, 4);
        for (const Sym& s : syms) {
            const std::size_t e = b.size();
            b.resize(e + 18 * (1u + s.aux), 0);
            if (s.name.size() > 8) put(b, e + 4, long_name(s.name), 4);
            else std::memcpy(&b[e], s.name.data(), s.name.size());
            put(b, e + 8, s.value, 4);
            put(b, e + 12, static_cast<std::uint16_t>(s.section), 2);
            b[e + 16] = s.storage;
            b[e + 17] = s.aux;
        }
        const std::size_t st = b.size();
        put(b, st, 4 + strtab.size(), 4);
        b.insert(b.end(), strtab.begin(), strtab.end());
    }

    put(b, kOptOffset + 64, pecheck::compute_checksum(b, kOptOffset + 64), 4);
    return b;
}

// Re-seals a patched image so that only the intended property is wrong.
void reseal(Bytes& b) {
    const std::size_t at = pecheck::checksum_field_offset(b);
    put(b, at, pecheck::compute_checksum(b, at), 4);
}

std::uint32_t get32(const Bytes& b, std::size_t off) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v |= std::uint32_t{b.at(off + i)} << (8 * i);
    return v;
}

// --- test harness --------------------------------------------------------------

int g_passed = 0;
int g_failed = 0;

std::string describe(const pecheck::Report& r) {
    std::ostringstream s;
    for (const auto& v : r.verdicts)
        if (!v.ok) s << "\n    FAIL[" << v.id << "]: " << v.message;
    return s.str();
}

void expect(const std::string& name, bool cond, const std::string& detail = {}) {
    if (cond) {
        ++g_passed;
        std::cout << "ok: " << name << "\n";
    } else {
        ++g_failed;
        std::cout << "FAIL: " << name << detail << "\n";
    }
}

pecheck::Options opts(Machine m, std::vector<std::string> allowed = {}) {
    pecheck::Options o;
    o.machine = m;
    o.allowed_imports = std::move(allowed);
    return o;
}

// The image passes everything.
void expect_clean(const std::string& name, const Bytes& img, const pecheck::Options& o) {
    auto r = pecheck::check_image(img, o);
    expect(name, r.failures() == 0 && !r.verdicts.empty(), describe(r));
}

// Check `id` fails, and nothing outside `also` fails with it.
void expect_only(const std::string& name, const Bytes& img, const pecheck::Options& o,
                 const std::vector<std::string>& ids) {
    auto r = pecheck::check_image(img, o);
    bool all_flagged = true;
    for (const auto& id : ids) all_flagged = all_flagged && r.failed(id);
    bool nothing_else = true;
    for (const auto& v : r.verdicts) {
        if (v.ok) continue;
        bool listed = false;
        for (const auto& id : ids) listed = listed || v.id == id;
        nothing_else = nothing_else && listed;
    }
    expect(name, all_flagged && nothing_else, describe(r));
}

void synthetic_cases() {
    for (Machine m : {Machine::i386, Machine::amd64}) {
        const bool plus = m == Machine::amd64;
        const std::string arch = plus ? "amd64" : "i386";
        const Machine other = plus ? Machine::i386 : Machine::amd64;
        Recipe base;
        base.machine = m;

        expect_clean(arch + ": well-formed driver image passes", build(base), opts(m));
        {
            auto r = pecheck::check_image(build(base), opts(m));
            expect(arch + ": entry matched to its DriverEntry symbol",
                   r.passed("entry") && r.verdicts.size() > 10 &&
                       std::any_of(r.verdicts.begin(), r.verdicts.end(), [&](const pecheck::Verdict& v) {
                           return v.id == "entry" && v.message.find(plus ? " is DriverEntry" : " is _DriverEntry@8") !=
                                                         std::string::npos;
                       }),
                   describe(r));
        }

        // Machine: the wrong expectation flips both machine and magic; a
        // patched machine field alone flips only machine.
        expect_only(arch + ": checked as the other machine", build(base), opts(other), {"machine", "magic"});
        {
            Bytes b = build(base);
            put(b, kCoffOffset, plus ? 0x014c : 0x8664, 2);
            reseal(b);
            expect_only(arch + ": machine field swapped", b, opts(m), {"machine"});
            put(b, kCoffOffset, 0x01c4, 2);  // ARMNT
            reseal(b);
            expect_only(arch + ": machine field ARM", b, opts(m), {"machine"});
        }

        // Subsystem.
        for (std::uint16_t sub : {2, 3, 0}) {
            Recipe s = base;
            s.subsystem = sub;
            expect_only(arch + ": subsystem " + std::to_string(sub), build(s), opts(m), {"subsystem"});
        }

        // Imports: a DLL outside the list, a C runtime, a C++ runtime symbol.
        {
            Recipe s = base;
            s.imports.push_back({"kernel32.dll", {"CreateFileW"}});
            expect_only(arch + ": import from kernel32.dll", build(s), opts(m), {"imports"});
        }
        {
            Recipe s = base;
            s.imports.push_back({"msvcrt.dll", {"malloc"}});
            auto r = pecheck::check_image(build(s), opts(m, {"ntoskrnl.exe", "HAL.dll", "msvcrt.dll"}));
            expect(arch + ": C runtime DLL refused even when listed", r.failed("imports"), describe(r));
        }
        {
            Recipe s = base;
            s.imports.push_back({"libstdc++-6.dll", {"_Znwj"}});
            expect_only(arch + ": import from libstdc++", build(s), opts(m), {"imports", "runtime-imports"});
        }
        for (const char* sym : {"__cxa_pure_virtual", "_Unwind_Resume", "__gxx_personality_v0", "___cxa_guard_acquire",
                                "_ZdlPv"}) {
            Recipe s = base;
            s.imports[0].second.push_back(sym);
            expect_only(arch + ": ntoskrnl.exe!" + sym, build(s), opts(m), {"runtime-imports"});
        }
        {
            Recipe s = base;
            s.imports = {{"NTOSKRNL.EXE", {"IoCreateDevice"}}, {"usbd.sys", {"USBD_GetInterfaceLength"}}};
            expect_clean(arch + ": DLL names compared case-insensitively", build(s),
                         opts(m, {"ntoskrnl.exe", "HAL.dll", "USBD.SYS"}));
            expect_only(arch + ": USBD.SYS refused when not allowed", build(s), opts(m), {"imports"});
        }

        // Entry point.
        {
            Recipe s = base;
            s.entry_rva = 0;
            expect_only(arch + ": entry point 0", build(s), opts(m), {"entry"});
            s.entry_rva = 0x2000;  // .idata
            expect_only(arch + ": entry point in data", build(s), opts(m), {"entry"});
            s.entry_rva = 0x1020;  // code, but not DriverEntry
            expect_only(arch + ": entry point is not DriverEntry", build(s), opts(m), {"entry"});
            s.entry_rva = 0x9000;  // nowhere
            expect_only(arch + ": entry point outside the image", build(s), opts(m), {"entry"});
            Recipe stripped = base;
            stripped.symbols = false;
            expect_clean(arch + ": stripped image still passes", build(stripped), opts(m));
            stripped.entry_rva = 0x2000;
            expect_only(arch + ": stripped image, entry in data", build(stripped), opts(m), {"entry"});
        }
        if (!plus) {
            Recipe s = base;
            s.entry_symbol = "_DriverEntry";  // cdecl: the kernel calls it as __stdcall
            expect_only(arch + ": cdecl DriverEntry at the entry point", build(s), opts(m), {"entry"});
        }

        // DLL characteristics.
        {
            Recipe s = base;
            s.dll_characteristics = plus ? 0x2060 : 0x2040;  // no NX_COMPAT
            expect_only(arch + ": NX_COMPAT missing", build(s), opts(m), {"dllchar"});
            s.dll_characteristics = plus ? 0x3160 : 0x3140;  // APPCONTAINER
            expect_only(arch + ": APPCONTAINER set", build(s), opts(m), {"dllchar"});
            s.dll_characteristics = 0x0140;  // no WDM_DRIVER
            expect_only(arch + ": WDM_DRIVER missing", build(s), opts(m), {"dllchar"});
            s.dll_characteristics = 0x6140;  // GUARD_CF without load config
            expect_only(arch + ": GUARD_CF without load config", build(s), opts(m), {"dllchar"});
            if (!plus) {
                s.dll_characteristics = 0x2160;  // HIGH_ENTROPY_VA on PE32
                expect_only(arch + ": HIGH_ENTROPY_VA on PE32", build(s), opts(m), {"dllchar"});
            }
        }

        // Characteristics and relocations.
        {
            Recipe s = base;
            s.characteristics = plus ? 0x0023 : 0x0103;  // RELOCS_STRIPPED
            expect_only(arch + ": relocations stripped flag", build(s), opts(m), {"characteristics"});
            s.characteristics = plus ? 0x0020 : 0x0100;  // not executable
            expect_only(arch + ": not an executable image", build(s), opts(m), {"characteristics"});
            Recipe r = base;
            r.relocs = false;
            if (plus) expect_clean(arch + ": no relocations is fine for RIP-relative code", build(r), opts(m));
            else expect_only(arch + ": no relocations", build(r), opts(m), {"relocs"});
        }

        // Sections.
        {
            Recipe s = base;
            s.text_characteristics |= kScnWrite;
            expect_only(arch + ": writable .text", build(s), opts(m), {"sections"});
        }

        // TLS, delay imports, unwind tables.
        {
            Recipe s = base;
            s.tls_directory = true;
            expect_only(arch + ": TLS directory", build(s), opts(m), {"tls"});
            Recipe t = base;
            t.extra.push_back({".tls", kScnInitData | kScnRead | kScnWrite, 0x20});
            expect_only(arch + ": .tls section", build(t), opts(m), {"tls"});
            Recipe d = base;
            d.delay_import_directory = true;
            expect_only(arch + ": delay-load imports", build(d), opts(m), {"delay-imports"});
            Recipe e = base;
            e.extra.push_back({".eh_frame", kScnInitData | kScnRead, 0x40});
            expect_only(arch + ": .eh_frame section", build(e), opts(m), {"unwind"});
        }

        // Static constructors: sections of their own, or GNU ld's merged list.
        for (const char* name : {".ctors", ".init_array", ".CRT"}) {
            Recipe s = base;
            s.extra.push_back({name, kScnInitData | kScnRead, 0x10});
            expect_only(arch + ": " + name + " section with content", build(s), opts(m), {"ctors"});
        }
        {
            Recipe s = base;
            s.extra.push_back({".ctors", kScnInitData | kScnRead, 0});
            expect_clean(arch + ": empty .ctors section is fine", build(s), opts(m));
            Recipe empty = base;
            empty.ctor_entries = 0;
            expect_clean(arch + ": empty __CTOR_LIST__ is fine", build(empty), opts(m));
            Recipe one = base;
            one.ctor_entries = 1;
            expect_only(arch + ": one static constructor", build(one), opts(m), {"ctors"});
            Recipe three = base;
            three.ctor_entries = 3;
            auto r = pecheck::check_image(build(three), opts(m));
            bool counted = std::any_of(r.verdicts.begin(), r.verdicts.end(), [](const pecheck::Verdict& v) {
                return v.id == "ctors" && !v.ok && v.message.rfind("3 static constructor", 0) == 0;
            });
            expect(arch + ": three static constructors counted", counted, describe(r));
        }

        // Checksum.
        {
            Bytes b = build(base);
            put(b, kOptOffset + 64, get32(b, kOptOffset + 64) + 1, 4);
            expect_only(arch + ": wrong checksum", b, opts(m), {"checksum"});
            Bytes c = build(base);
            c[kHeaderSize + 0x30] ^= 0xff;  // a filler byte inside .text's raw data
            expect_only(arch + ": byte changed after linking", c, opts(m), {"checksum"});
        }

        // Broken files.
        {
            Bytes b = build(base);
            b[0] = 'X';
            expect_only(arch + ": no MZ header", b, opts(m), {"format"});
            const Bytes whole = build(base);
            Bytes t(whole.begin(), whole.begin() + 0x100);
            expect_only(arch + ": truncated headers", t, opts(m), {"format"});
            Bytes i = build(base);
            put(i, kOptOffset + (plus ? 112 : 96) + 8, 0x7000, 4);  // import RVA outside every section
            reseal(i);
            expect_only(arch + ": import directory points nowhere", i, opts(m), {"imports"});
        }

        // Import listing.
        {
            Recipe s = base;
            s.imports = {{"ntoskrnl.exe", {"IoCreateDevice", "IofCallDriver"}}, {"USBD.SYS", {"USBD_ParseDescriptors"}}};
            auto list = pecheck::list_imports(build(s));
            std::vector<std::string> got;
            for (const auto& imp : list) got.push_back(imp.dll + "!" + imp.symbol);
            std::vector<std::string> want = {"ntoskrnl.exe!IoCreateDevice", "ntoskrnl.exe!IofCallDriver",
                                             "USBD.SYS!USBD_ParseDescriptors"};
            std::string detail;
            for (const auto& g : got) detail += "\n    got " + g;
            expect(arch + ": import listing", got == want, detail);
        }
    }
}

// --- DLLs: exports, dialog templates, the version record ----------------------------

// The "Advanced" page's template as pecheck is told to expect it.
pecheck::DialogExpectation props_dialog() {
    std::ifstream in(ZENDRAPROPS_DIALOG_FILE);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    pecheck::DialogExpectation e;
    std::string error;
    if (!pecheck::parse_dialog_expectation(text, e, error)) {
        expect(std::string("parses ") + ZENDRAPROPS_DIALOG_FILE, false, " (" + error + ")");
    }
    return e;
}

pecheck::Options dll_opts(Machine m, const pecheck::DialogExpectation& dialog) {
    pecheck::Options o = opts(m, {"kernel32.dll", "user32.dll"});
    o.kind = pecheck::Kind::dll;
    o.exports = {"DllMain", "ZENDRAPropPageProvider"};
    o.dialogs = {dialog};
    o.expect_version = true;
    return o;
}

void dll_cases() {
    const pecheck::DialogExpectation dialog = props_dialog();
    {
        // The expectation file names what it must: three controls, the
        // combo box by atom, and it survives a round trip through bytes.
        const auto& t = dialog.dialog;
        const bool read = dialog.resource_id == 101 && dialog.language == 0x409 && t.style == 0x90C800C4 &&
                          t.cx == 220 && t.cy == 215 && t.caption == "Features" && t.point_size == 8 &&
                          t.typeface == "MS Shell Dlg" && t.items.size() == 3 && t.items[2].window_class == "#133" &&
                          t.items[2].id == 1003 && t.items[0].text == "#105" && t.items[0].id == 0xFFFF;
        const auto back = pecheck::parse_dialog_template(dialog_bytes(t));
        expect("dialog expectation read and round-tripped",
               read && back.items.size() == 3 && back.items[1].text == "Virtual COM port:" &&
                   back.items[2].style == 0x50210403 && back.typeface == t.typeface);
    }
    for (Machine m : {Machine::i386, Machine::amd64}) {
        const bool plus = m == Machine::amd64;
        const std::string arch = std::string(plus ? "amd64" : "i386") + " DLL";
        Recipe base;
        base.machine = m;
        base.dll = true;
        base.subsystem = 2;
        base.imports = {{"KERNEL32.dll", {"LocalAlloc"}}, {"USER32.dll", {"MessageBoxA"}}};
        base.exports = {{"DllMain", 0x10}, {"ZENDRAPropPageProvider", 0x20}};
        base.resources = {{5, 101, 0x409, dialog_bytes(dialog.dialog)}, {16, 1, 0x409, version_bytes(2)}};
        const auto o = dll_opts(m, dialog);

        expect_clean(arch + ": well-formed property-page DLL passes", build(base), o);
        expect_only(arch + ": checked as a driver", build(base), opts(m, {"kernel32.dll", "user32.dll"}),
                    {"subsystem", "dllchar"});
        {
            Recipe s = base;
            s.characteristics = plus ? 0x0022 : 0x0102;  // no IMAGE_FILE_DLL
            expect_only(arch + ": not linked as a DLL", build(s), o, {"characteristics"});
            Recipe n = base;
            n.subsystem = 1;
            expect_only(arch + ": native subsystem", build(n), o, {"subsystem"});
            Recipe w = base;
            w.dll_characteristics = plus ? 0x2160 : 0x2140;
            expect_only(arch + ": WDM_DRIVER on a DLL", build(w), o, {"dllchar"});
            w.dll_characteristics = plus ? 0x0120 : 0x0100;
            expect_only(arch + ": DYNAMIC_BASE missing", build(w), o, {"dllchar"});
        }
        {
            // The names Device Manager and the loader look up, exactly.
            Recipe s = base;
            s.exports[1].first = plus ? "ZENDRAPropPageProvider2" : "_ZENDRAPropPageProvider@12";
            expect_only(arch + ": provider exported decorated", build(s), o, {"exports"});
            Recipe d = base;
            d.exports.erase(d.exports.begin());
            d.symbols = false;
            expect_only(arch + ": DllMain not exported", build(d), o, {"exports"});
            Recipe e = base;
            e.entry_rva = 0x1020;  // the provider, not DllMain
            expect_only(arch + ": entry point is not DllMain", build(e), o, {"entry"});
            if (!plus) {
                Recipe c = base;
                c.entry_symbol = "_DllMain";  // cdecl: the loader calls it as __stdcall
                expect_only(arch + ": cdecl DllMain at the entry point", build(c), o, {"entry"});
            }
            Recipe r = base;
            r.imports.push_back({"msvcrt.dll", {"sprintf"}});
            expect_only(arch + ": sprintf from the C runtime", build(r), o, {"imports"});
        }
        // Every field of the template, changed one at a time.
        using Change = std::function<void(pecheck::DialogTemplate&)>;
        const std::vector<std::pair<std::string, Change>> changes = {
            {"style without DS_3DLOOK", [](auto& t) { t.style &= ~0x4u; }},
            {"extended style", [](auto& t) { t.exstyle = 0x00010000; }},
            {"size", [](auto& t) { t.cy = 214; }},
            {"position", [](auto& t) { t.x = 1; }},
            {"a menu", [](auto& t) { t.menu = "#7"; }},
            {"a class", [](auto& t) { t.window_class = "Pane"; }},
            {"caption", [](auto& t) { t.caption = "Advanced"; }},
            {"point size", [](auto& t) { t.point_size = 9; }},
            {"typeface", [](auto& t) { t.typeface = "MS Sans Serif"; }},
            {"no font", [](auto& t) { t.has_font = false, t.style &= ~0x40u; }},
            {"a fourth control", [](auto& t) { t.items.push_back(t.items[1]); }},
            {"controls swapped", [](auto& t) { std::swap(t.items[1], t.items[2]); }},
            {"bitmap static's picture", [](auto& t) { t.items[0].text = "#106"; }},
            {"label text", [](auto& t) { t.items[1].text = "Virtual COM port"; }},
            {"label class by name", [](auto& t) { t.items[1].window_class = "Static"; }},
            {"list id", [](auto& t) { t.items[2].id = 1004; }},
            {"list sorted", [](auto& t) { t.items[2].style |= 0x100; }},
            {"list as a list box", [](auto& t) { t.items[2].window_class = "#131"; }},
            {"list extended style", [](auto& t) { t.items[2].exstyle = 0x200; }},
            {"list rectangle", [](auto& t) { t.items[2].cy = 12; }},
            {"list creation data", [](auto& t) { t.items[2].extra = 2; }},
        };
        for (const auto& [name, change] : changes) {
            pecheck::DialogTemplate t = dialog.dialog;
            change(t);
            Recipe s = base;
            s.resources[0].data = dialog_bytes(t);
            expect_only(arch + ": dialog with " + name, build(s), o, {"dialog"});
        }
        {
            Recipe s = base;
            s.resources[0].language = 0x407;
            expect_only(arch + ": dialog only in German", build(s), o, {"dialog"});
            Recipe e = base;
            Bytes ex = dialog_bytes(dialog.dialog);
            put(ex, 0, 0xffff0001u, 4);  // DIALOGEX signature
            e.resources[0].data = ex;
            expect_only(arch + ": extended template", build(e), o, {"dialog"});
            Recipe v = base;
            v.resources.pop_back();
            expect_only(arch + ": no version record", build(v), o, {"version"});
            v.resources.push_back({16, 1, 0x409, version_bytes(1)});  // VFT_APP
            expect_only(arch + ": version record of an application", build(v), o, {"version"});
            v.resources.back().data = version_bytes(2, 0xFEEF04BC);
            expect_only(arch + ": version record without its signature", build(v), o, {"version"});
        }
    }
}

// --- command line ----------------------------------------------------------------

int run_cli(const std::vector<std::string>& args, std::string& out) {
    std::ostringstream o, e;
    int rc = pecheck::run(args, o, e);
    out = o.str() + e.str();
    return rc;
}

void cli_cases() {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("pecheck_selftest_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path good = dir / "good.sys";
    {
        Recipe s;
        s.machine = Machine::i386;
        s.imports.push_back({"USBD.SYS", {"_USBD_ParseConfigurationDescriptorEx@28"}});
        Bytes b = build(s);
        std::ofstream(good, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                    static_cast<std::streamsize>(b.size()));
    }
    std::string out;
    int rc = run_cli({"--expect-machine", "i386", "--allow-import", "ntoskrnl.exe", "--allow-import", "HAL.dll",
                      "--allow-import", "USBD.SYS", good.string()},
                     out);
    expect("cli: good image exits 0 and prints ok lines",
           rc == 0 && out.find("ok: subsystem NATIVE") != std::string::npos &&
               out.find("FAIL") == std::string::npos,
           "\n" + out);
    rc = run_cli({"--expect-machine", "i386", good.string()}, out);
    expect("cli: default allow list rejects USBD.SYS", rc == 1 && out.find("FAIL: imports from USBD.SYS") != std::string::npos,
           "\n" + out);
    rc = run_cli({"--expect-machine", "amd64", "--allow-import", "USBD.SYS", good.string()}, out);
    expect("cli: wrong machine exits 1", rc == 1 && out.find("FAIL: machine is i386") != std::string::npos, "\n" + out);
    rc = run_cli({"--list-imports", good.string()}, out);
    expect("cli: --list-imports",
           rc == 0 && out.find("USBD.SYS!_USBD_ParseConfigurationDescriptorEx@28\n") != std::string::npos &&
               out.find("HAL.dll!KeGetCurrentIrql\n") != std::string::npos,
           "\n" + out);
    rc = run_cli({"--expect-machine", "i386", (dir / "missing.sys").string()}, out);
    expect("cli: missing file fails", rc == 1 && out.rfind("FAIL: cannot open", 0) == 0, "\n" + out);
    rc = run_cli({good.string()}, out);
    expect("cli: no --expect-machine is a usage error", rc == 2, "\n" + out);
    rc = run_cli({"--expect-machine", "arm64", good.string()}, out);
    expect("cli: unknown machine is a usage error", rc == 2, "\n" + out);
    rc = run_cli({"--expect-machine", "i386", "--frobnicate", good.string()}, out);
    expect("cli: unknown option is a usage error", rc == 2, "\n" + out);
    fs::remove_all(dir);
}

// --- real images ------------------------------------------------------------------

// Replaces the first occurrence of `from` in `b` (same length); false when
// there is none.
bool patch(Bytes& b, const Bytes& from, const Bytes& to) {
    auto it = std::search(b.begin(), b.end(), from.begin(), from.end());
    if (it == b.end()) return false;
    std::copy(to.begin(), to.end(), it);
    reseal(b);
    return true;
}

Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes utf16(const std::string& s) {
    Bytes b;
    for (char c : s) b.insert(b.end(), {static_cast<std::uint8_t>(c), 0});
    return b;
}

// The file offset of an image's export table; 0 when it has none.
std::size_t export_directory(const Bytes& b) {
    const std::size_t pe = get32(b, 0x3c), opt = pe + 24;
    const bool plus = (b.at(opt) | b.at(opt + 1) << 8) == 0x20b;
    const std::uint32_t rva = get32(b, opt + (plus ? 112 : 96));
    const std::size_t headers = opt + (b.at(pe + 20) | b.at(pe + 21) << 8);
    const unsigned count = b.at(pe + 6) | b.at(pe + 7) << 8;
    for (unsigned i = 0; rva != 0 && i < count; ++i) {
        const std::size_t h = headers + 40 * i;
        const std::uint32_t va = get32(b, h + 12), size = get32(b, h + 8);
        if (rva >= va && rva < va + size) return get32(b, h + 20) + (rva - va);
    }
    return 0;
}

// The built zendraprops.dll, and copies broken in what only its own checks
// look at.
void real_dll_cases(const std::string& path, const Bytes& orig, Machine m) {
    auto o = dll_opts(m, props_dialog());
    o.allowed_imports = {"setupapi.dll", "comctl32.dll", "user32.dll", "kernel32.dll", "ntdll.dll"};
    expect_clean(path + ": passes as built", orig, o);

    Bytes b = orig;
    bool found = patch(b, {0xc4, 0x00, 0xc8, 0x90}, {0xc4, 0x00, 0xc8, 0x80});  // WS_VISIBLE off
    expect_only(path + ": dialog style changed", b, o, {"dialog"});
    b = orig;
    found = patch(b, utf16("Virtual COM"), utf16("Virtual CON")) && found;
    expect_only(path + ": label text changed", b, o, {"dialog"});
    b = orig;
    found = patch(b, ascii("ZENDRAPropPageProvider"), ascii("ZENDRAPropPageProvidex")) && found;
    expect_only(path + ": provider export renamed", b, o, {"exports"});
    b = orig;
    found = patch(b, utf16("VS_VERSION_INFO"), utf16("VS_VERSION_INFX")) && found;
    expect_only(path + ": version record damaged", b, o, {"version"});
    b = orig;
    const std::size_t exports = export_directory(b);
    found = exports != 0 && found;
    if (exports != 0) {
        put(b, exports + 4, 0x5F3A1C20, 4);  // a link time in the export table
        reseal(b);
        expect_only(path + ": export table stamped with a link time", b, o, {"timestamp"});
    }
    b = orig;
    found = patch(b, ascii("ntdll.dll"), ascii("msvcrt.dl")) && found;
    expect_only(path + ": sprintf taken from the C runtime", b, o, {"imports"});
    expect(path + ": holds every patched pattern", found);
}

void real_file_cases(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Bytes orig((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (orig.size() < 0x40) {
        expect(path + ": readable", false, " (missing or too small)");
        return;
    }
    const std::size_t pe = get32(orig, 0x3c);
    const std::uint16_t machine = static_cast<std::uint16_t>(orig.at(pe + 4) | orig.at(pe + 5) << 8);
    const Machine m = machine == 0x014c ? Machine::i386 : Machine::amd64;
    if (orig.at(pe + 23) & 0x20) {  // IMAGE_FILE_DLL
        real_dll_cases(path, orig, m);
        return;
    }
    const auto o = opts(m, {"ntoskrnl.exe", "HAL.dll", "USBD.SYS"});
    const std::size_t opt = pe + 24;
    expect_clean(path + ": passes as built", orig, o);

    Bytes b = orig;
    b[pe + 4] = m == Machine::i386 ? 0x64 : 0x4c;
    b[pe + 5] = m == Machine::i386 ? 0x86 : 0x01;
    reseal(b);
    expect_only(path + ": machine field swapped", b, o, {"machine"});

    b = orig;
    put(b, opt + 68, 3, 2);  // console
    reseal(b);
    expect_only(path + ": subsystem set to console", b, o, {"subsystem"});

    b = orig;
    put(b, opt + 16, 0, 4);
    reseal(b);
    expect_only(path + ": entry point zeroed", b, o, {"entry"});

    b = orig;
    put(b, pe + 8, 0x5F3A1C20, 4);  // the link time ld writes by default
    reseal(b);
    expect_only(path + ": file header stamped with a link time", b, o, {"timestamp"});

    b = orig;
    const std::string from = "ntoskrnl.exe";
    auto it = std::search(b.begin(), b.end(), from.begin(), from.end());
    if (it == b.end()) {
        expect(path + ": contains the ntoskrnl.exe import name", false);
        return;
    }
    const std::string to = "msvcrt.dll";  // shorter: NUL-padded in place
    std::fill(it, it + static_cast<std::ptrdiff_t>(from.size()), 0);
    std::copy(to.begin(), to.end(), it);
    reseal(b);
    expect_only(path + ": ntoskrnl.exe import renamed msvcrt.dll", b, o, {"imports"});

    b = orig;
    b[b.size() / 2] ^= 0x5a;
    auto r = pecheck::check_image(b, o);
    expect(path + ": a flipped byte breaks the checksum", r.failed("checksum"), describe(r));
}

}  // namespace

int main(int argc, char** argv) {
    synthetic_cases();
    dll_cases();
    cli_cases();
    for (int i = 1; i < argc; ++i) real_file_cases(argv[i]);
    std::cout << g_passed << " passed, " << g_failed << " failed\n";
    return g_failed == 0 ? 0 : 1;
}
