// POSIX has no way for a library to refuse loading: a failed
// initialisation leaves it inert instead (its exports answer 0x6).
#include "attach.h"

namespace {
__attribute__((constructor)) void qx_uiext_attach() { qx::uiext::attach(); }
__attribute__((destructor)) void qx_uiext_detach() { qx::uiext::detach(); }
}  // namespace
