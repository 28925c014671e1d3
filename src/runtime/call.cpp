// Calls with one argument put in front of the others: a method's receiver, or a first argument.
#include <algorithm>
#include <iterator>
#include <span>
#include <vector>

#include "ref.hpp"

namespace velmo::rt {

namespace {

// `first` in front of `args`, as a vectorcall stack: most calls fit the buffer on the stack,
// longer ones get one of their own.
class FirstThenArgs {
public:
    FirstThenArgs(PyObject* first, std::span<PyObject* const> args) : n_(1 + args.size()) {
        if (n_ > std::size(small_)) {
            large_.resize(n_);
            stack_ = large_.data();
        }
        stack_[0] = first;
        std::copy(args.begin(), args.end(), stack_ + 1);
    }
    PyObject** stack() { return stack_; }
    size_t size() const { return n_; }

private:
    size_t n_;
    PyObject* small_[8];
    std::vector<PyObject*> large_;
    PyObject** stack_ = small_;
};

}  // namespace

Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    // The receiver goes in front of the arguments, as PyObject_VectorcallMethod wants it.
    FirstThenArgs stack(obj, {args.begin(), args.size()});
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack.stack(), (stack.size() - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_with_first(PyObject* callable, PyObject* first, std::span<PyObject* const> args) {
    FirstThenArgs stack(first, args);
    return Ref::steal(PyObject_Vectorcall(callable, stack.stack(), stack.size(), nullptr));
}

}  // namespace velmo::rt
