// QXUIExtend: UI extension: dialog-driven token operations.
// The module is built and loadable; its operations are added as they are built.
namespace qx::uiext {
const char* module_name() { return "QXUIExtend"; }
}  // namespace qx::uiext
