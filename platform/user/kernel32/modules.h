// The modules of the process and their resources (Win32 side).
//
// A library the host build links in (a property-page provider) is "loaded"
// with the resources its resource script compiles to (a .res file, the
// same script the Windows build links into the DLL); its module handle then
// finds them, as FindResource and LoadResource find a DLL's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace emu::k32 {

// A new module named `name` holding the resources of `res` (the bytes of a
// .res file, which must stay valid while it is loaded). Stops the run on
// a malformed file.
HINSTANCE LoadModule(const std::string& name, std::span<const uint8_t> res);
void UnloadModule(HINSTANCE module);

// The data of a resource of the module: `type` and `name` as the resource
// routines take them (MAKEINTRESOURCE or a string). Of its languages US
// English is taken first, then neutral, then the first there is. nullopt,
// with the last error set, when the module or the resource does not exist.
std::optional<std::span<const uint8_t>> FindResourceData(HINSTANCE module, LPCSTR type, LPCSTR name);

}  // namespace emu::k32
