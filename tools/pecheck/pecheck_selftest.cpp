// pecheck_selftest: proves pecheck's verdicts flip when an image is wrong.
//
// Builds small but complete kernel-style PE images in memory (headers,
// .text, .idata, .reloc, COFF symbols), checks that a well-formed one passes
// every check, then breaks one property at a time and asserts that exactly
// the matching check fails. Given FILE arguments (a real zendra.sys), it also
// corrupts copies of those files the same way.
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
    for (const ExtraSection& e : recipe.extra) secs.push_back({e.name, e.characteristics, Bytes(e.size, 0x11), e.size});

    Bytes b(kHeaderSize, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put(b, 0x3c, kPeOffset, 4);
    put(b, kPeOffset, 0x00004550, 4);

    std::uint16_t characteristics = recipe.characteristics;
    if (characteristics == 0) characteristics = plus ? 0x0022 : 0x0102;  // EXEC|LARGE_ADDR / EXEC|32BIT
    std::uint16_t dllchar = recipe.dll_characteristics;
    if (dllchar == 0) dllchar = plus ? 0x2160 : 0x2140;  // (HIGH_ENTROPY|)DYNAMIC_BASE|NX|WDM
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
    cli_cases();
    for (int i = 1; i < argc; ++i) real_file_cases(argv[i]);
    std::cout << g_passed << " passed, " << g_failed << " failed\n";
    return g_failed == 0 ? 0 : 1;
}
