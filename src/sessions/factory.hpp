// One session factory per owner and data source.
//
// `sessionmaker(bind=engine, expire_on_commit=False)` builds a new class with type() on every
// call, which costs more than the session it then makes and leaves a class per call to the
// collector. While the module global `sessionmaker` is SQLAlchemy's own, the factory is made once
// for each owner (a template, a session facade) and kept beside the data source it was made for;
// a new one is made when the owner's data source is another object. Every call still gets a new
// session from it. A rebound `sessionmaker` is called on every call, as written.
//
// The factories live in a weakref.WeakKeyDictionary keyed by the owner: an owner that is gone
// takes its factory (and the engine that factory binds) with it.
#pragma once

#include "../runtime/rt.hpp"

namespace velmo::sessions {

class FactoryCache {
public:
    // At module init, after the module imported `own` (SQLAlchemy's sessionmaker or
    // async_sessionmaker).
    void init(PyObject* own) {
        own_ = Py_NewRef(own);
        rt::Ref weakref = rt::Ref::steal(PyImport_ImportModule("weakref"));
        rt::Ref cls = rt::getattr(weakref.get(), "WeakKeyDictionary");
        owners_ = rt::call(cls.get()).release();
        data_ = rt::getattr(owners_, "data").release();
    }

    // maker(bind=data_source, expire_on_commit=False) for `owner`, made once while `maker` is the
    // one imported and the owner's data source stays the same object. `kwnames` holds
    // ("bind", "expire_on_commit").
    rt::Ref factory(PyObject* owner, PyObject* maker, PyObject* data_source, PyObject* kwnames) {
        if (maker != own_ || !owners_) return make(maker, data_source, kwnames);
        rt::Ref key = rt::Ref::steal_or_null(PyWeakref_NewRef(owner, nullptr));
        if (!key) {
            // An owner without weak references (a subclass with __slots__): no cache.
            PyErr_Clear();
            return make(maker, data_source, kwnames);
        }
        if (rt::Ref kept = rt::dict_get(data_, key.get());
            kept && PyTuple_CheckExact(kept.get()) && PyTuple_GET_ITEM(kept.get(), 0) == data_source)
            return rt::Ref::borrow(PyTuple_GET_ITEM(kept.get(), 1));
        rt::Ref made = make(maker, data_source, kwnames);
        rt::Ref entry = rt::tuple({data_source, made.get()});
        rt::check(PyObject_SetItem(owners_, owner, entry.get()));
        return made;
    }

private:
    static rt::Ref make(PyObject* maker, PyObject* data_source, PyObject* kwnames) {
        return rt::call_kw(maker, {data_source, Py_False}, kwnames);
    }

    PyObject* own_ = nullptr;     // the maker as imported
    PyObject* owners_ = nullptr;  // WeakKeyDictionary: owner -> (data source, factory)
    PyObject* data_ = nullptr;    // its dict of weak references, read directly
};

}  // namespace velmo::sessions
