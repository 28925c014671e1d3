// velmo.utils.harlune (being built).
#include "../runtime/rt.hpp"

using namespace velmo::rt;

namespace {
void exec_harlune(Module&) {}
}  // namespace

VELMO_MODULE(harlune, "velmo.utils.harlune", exec_harlune)
