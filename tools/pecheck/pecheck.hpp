// pecheck: examines a finished Windows image and says whether the loader
// will accept it for what it is meant to be and whether it carries any trace
// of a C++ runtime: a kernel driver (zendra.sys), or a user-mode DLL
// (zendraprops.dll) with its exports, dialog templates and version record.
// Host tool; reads the file, never changes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace pecheck {

enum class Machine { i386, amd64 };

// What the image is: a kernel driver (native subsystem, entry DriverEntry)
// or a user-mode DLL (Windows subsystem, entry DllMain).
enum class Kind { driver, dll };

// A classic (not extended) dialog template, as a resource holds it. Names
// that may be ordinals are text: "" for none (or empty), "#N" for ordinal
// or atom N, else the string.
struct DialogItem {
    std::uint32_t style = 0;
    std::uint32_t exstyle = 0;
    std::int16_t x = 0, y = 0, cx = 0, cy = 0;
    std::uint16_t id = 0;
    std::string window_class;
    std::string text;
    std::uint16_t extra = 0;  // bytes of creation data
};

struct DialogTemplate {
    std::uint32_t style = 0;
    std::uint32_t exstyle = 0;
    std::int16_t x = 0, y = 0, cx = 0, cy = 0;
    std::string menu;
    std::string window_class;
    std::string caption;
    bool has_font = false;
    std::uint16_t point_size = 0;
    std::string typeface;
    std::vector<DialogItem> items;
};

// A dialog the image must hold: resource id, language and every field.
struct DialogExpectation {
    std::uint16_t resource_id = 0;
    std::uint16_t language = 0;
    DialogTemplate dialog;
};

struct Options {
    Machine machine = Machine::amd64;
    Kind kind = Kind::driver;
    // DLL names the image may import from, compared case-insensitively.
    // Empty means the default: ntoskrnl.exe and HAL.dll.
    std::vector<std::string> allowed_imports;
    // Names the image must export, exactly as written (no decoration).
    std::vector<std::string> exports;
    // Dialog templates the resource section must hold, field by field.
    std::vector<DialogExpectation> dialogs;
    // The resource section must hold a version record.
    bool expect_version = false;
};

// Reads a dialog template resource. Throws std::runtime_error on a
// malformed one, or on an extended (DIALOGEX) template.
DialogTemplate parse_dialog_template(const std::vector<std::uint8_t>& resource);

// Reads the text form of an expected dialog (see zendraprops-dialog.txt).
// Returns false with `error` set when the text does not parse.
bool parse_dialog_expectation(const std::string& text, DialogExpectation& out, std::string& error);

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
