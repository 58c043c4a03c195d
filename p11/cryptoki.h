// The Cryptoki interface as this module builds it (the packed structures of
// Windows come with the header), plus this token's own mechanisms.
#pragma once

// The functions are declared by the header; these declarations make them the
// module's exported symbols (the export list then names them).
#pragma GCC visibility push(default)
#include <pkcs11.h>
#pragma GCC visibility pop

#include "QXP11.h"
