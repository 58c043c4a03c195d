// Marks a function as exported from a deliverable library.  The export lists
// (.def on Windows, a version script on ELF) decide what is really exported;
// on ELF the symbol must also have default visibility to be listed there.
#pragma once

#if defined(_WIN32)
#define QX_EXPORT extern "C"
#else
#define QX_EXPORT extern "C" __attribute__((visibility("default")))
#endif
