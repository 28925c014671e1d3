// velmo.utils.wollix (being built).
#include "../runtime/rt.hpp"

using namespace velmo::rt;

namespace {
void exec_wollix(Module&) {}
}  // namespace

VELMO_MODULE(wollix, "velmo.utils.wollix", exec_wollix)
