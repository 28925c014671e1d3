// velmo.utils.fendrel (being built).
#include "../runtime/rt.hpp"

using namespace velmo::rt;

namespace {
void exec_fendrel(Module&) {}
}  // namespace

VELMO_MODULE(fendrel, "velmo.utils.fendrel", exec_fendrel)
