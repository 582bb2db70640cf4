// pecheck: examines a finished Windows kernel image (zendra.sys) and says
// whether it is something the kernel loader will accept and that carries no
// trace of a C++ runtime. Host tool; reads the file, never changes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace pecheck {

enum class Machine { i386, amd64 };

struct Options {
    Machine machine = Machine::amd64;
    // DLL names the image may import from, compared case-insensitively.
    // Empty means the default: ntoskrnl.exe and HAL.dll.
    std::vector<std::string> allowed_imports;
};

struct Import {
    std::string dll;
    std::string symbol;   // empty when imported by ordinal
    std::uint32_t ordinal = 0;
    bool by_ordinal = false;
};

// One verdict. `id` names the check so tests can tell which one flipped.
struct Verdict {
    std::string id;
    bool ok = true;
    std::string message;
};

struct Report {
    std::vector<Verdict> verdicts;
    std::vector<std::string> notes;

    std::size_t failures() const;
    bool failed(const std::string& id) const;  // some verdict `id` failed
    bool passed(const std::string& id) const;  // `id` ran and none failed
};

// Runs every check on the bytes of an image. Never throws: a malformed file
// yields a failed "format" verdict.
Report check_image(const std::vector<std::uint8_t>& file, const Options& options);

// Import table as DLL/symbol pairs. Throws std::runtime_error on a malformed
// file.
std::vector<Import> list_imports(const std::vector<std::uint8_t>& file);

// The optional-header CheckSum the loader expects for these bytes; the four
// bytes at `checksum_offset` (the CheckSum field itself) count as zero.
std::uint32_t compute_checksum(const std::vector<std::uint8_t>& file,
                               std::size_t checksum_offset);

// File offset of the optional header's CheckSum field. Throws on a file that
// is not a PE image.
std::size_t checksum_field_offset(const std::vector<std::uint8_t>& file);

// Command line front end; returns the process exit code
// (0 all checks passed, 1 a check failed or the file is unreadable, 2 usage).
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace pecheck
