// velmo.utils.plovet (being built).
#include "../runtime/rt.hpp"

using namespace velmo::rt;

namespace {
void exec_plovet(Module&) {}
}  // namespace

VELMO_MODULE(plovet, "velmo.utils.plovet", exec_plovet)
