// Routines the manifest lists as not implemented (STUB in routines.inc):
// each stops the run and names itself, so a driver that starts to depend on
// one is noticed at once. The header's declaration of each must match the
// signature listed, or this file does not compile.
#include "verifier/verifier.h"
#include "wdm.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

#define ROUTINE(name)
#define STUB(type, name, parameters) \
  extern "C" type name parameters { emu::Unimplemented(#name); }
#include "routines.inc"
#undef STUB
#undef ROUTINE
