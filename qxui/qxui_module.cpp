// QXUI: dialog library.
// The module is built and loadable; its operations are added as they are built.
namespace qx::qxui {
const char* module_name() { return "QXUI"; }
}  // namespace qx::qxui
