#include "pyglue.h"

#include <cstring>
#include <memory>

namespace pg {

// ---------------------------------------------------------------- errors

void raise_pending() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw Error();
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw Error();
}

void raise(PyObject* type, handle message) {
    PyErr_SetObject(type, message.ptr());
    throw Error();
}

object exception_value(const Error& e) {
#if PY_VERSION_HEX < 0x030C0000
    // Before 3.12 a pending error may hold its arguments in place of the
    // instance (a KeyError raised by a dict holds the bare key).
    PyObject* type = new_ref(e.type().ptr());
    PyObject* value = e.value().ptr();
    Py_XINCREF(value);
    PyObject* traceback = e.traceback().release().ptr();
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return steal(value);
#else
    return borrow(e.value());
#endif
}

// ---------------------------------------------------------------- texts

namespace {
Text* declared_texts = nullptr;
}

Text::Text(const char* text) noexcept : text_(text), next_(declared_texts) { declared_texts = this; }

void Text::intern_all() {
    for (Text* t = declared_texts; t; t = t->next_) {
        if (t->obj_) continue;
        t->obj_ = PyUnicode_InternFromString(t->text_);
        if (!t->obj_) raise_pending();
    }
}

// ---------------------------------------------------------------- values

object new_list() { return checked(PyList_New(0)); }
object new_dict() { return checked(PyDict_New()); }

object tuple(std::initializer_list<handle> items) {
    object t = checked(PyTuple_New(Py_ssize_t(items.size())));
    Py_ssize_t i = 0;
    for (handle h : items) PyTuple_SET_ITEM(t.ptr(), i++, new_ref(h.ptr()));
    return t;
}

void append(handle list, handle item) { check(PyList_Append(list.ptr(), item.ptr())); }

object item(handle o, Py_ssize_t index) {
    object key = checked(PyLong_FromSsize_t(index));
    return item(o, key);
}

object item_or_null(handle o, handle key) {
    PyObject* v = PyObject_GetItem(o.ptr(), key.ptr());
    if (v) return steal(v);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise_pending();
    PyErr_Clear();
    return object();
}

// ---------------------------------------------------------------- comparison

bool compare(handle a, handle b, int op) {
    object r = checked(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (r.ptr() == Py_True) return true;
    if (r.ptr() == Py_False) return false;
    return truth(r);
}

// ---------------------------------------------------------------- text

object cat(std::initializer_list<handle> pieces) {
    constexpr std::size_t inline_pieces = 16;
    object small[inline_pieces];
    std::unique_ptr<object[]> large;
    object* texts = small;
    if (pieces.size() > inline_pieces) {
        large.reset(new object[pieces.size()]);
        texts = large.get();
    }
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    std::size_t n = 0;
    for (handle piece : pieces) {
        object& text = texts[n++];
        text = str(piece);
        if (!PyUnicode_Check(text.ptr())) raise(PyExc_TypeError, "__str__ returned non-string");
        length += PyUnicode_GET_LENGTH(text.ptr());
        Py_UCS4 w = PyUnicode_MAX_CHAR_VALUE(text.ptr());
        if (w > widest) widest = w;
    }
    object out = checked(PyUnicode_New(length, widest));
    const int kind = PyUnicode_KIND(out.ptr());
    char* data = static_cast<char*>(PyUnicode_DATA(out.ptr()));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* t = texts[i].ptr();
        Py_ssize_t len = PyUnicode_GET_LENGTH(t);
        // A piece of the result's width is copied as it is; a narrower one is widened.
        if (PyUnicode_KIND(t) == kind)
            std::memcpy(data + at * kind, PyUnicode_DATA(t), std::size_t(len) * kind);
        else if (PyUnicode_CopyCharacters(out.ptr(), at, t, 0, len) < 0)
            raise_pending();
        at += len;
    }
    return out;
}

namespace {
Text k_split{"split"};

// One segment of an exact str split at a one-character separator.
object exact_segment(PyObject* s, Py_UCS4 sep, Py_ssize_t index) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    Py_ssize_t start = 0, end = len;
    if (index >= 0) {
        for (Py_ssize_t k = 0; k < index; ++k) {
            Py_ssize_t f = PyUnicode_FindChar(s, sep, start, len, 1);
            if (f == -2) raise_pending();
            if (f < 0) raise(PyExc_IndexError, "list index out of range");
            start = f + 1;
        }
        Py_ssize_t f = PyUnicode_FindChar(s, sep, start, len, 1);
        if (f == -2) raise_pending();
        end = f < 0 ? len : f;
    } else {
        for (Py_ssize_t k = 1; k < -index; ++k) {
            Py_ssize_t f = PyUnicode_FindChar(s, sep, 0, end, -1);
            if (f == -2) raise_pending();
            if (f < 0) raise(PyExc_IndexError, "list index out of range");
            end = f;
        }
        Py_ssize_t f = PyUnicode_FindChar(s, sep, 0, end, -1);
        if (f == -2) raise_pending();
        start = f < 0 ? 0 : f + 1;
    }
    return checked(PyUnicode_Substring(s, start, end));
}
}  // namespace

object segment(handle s, handle sep, Py_ssize_t index) {
    if (PyUnicode_CheckExact(s.ptr()) && PyUnicode_CheckExact(sep.ptr()) &&
        PyUnicode_GET_LENGTH(sep.ptr()) == 1)
        return exact_segment(s.ptr(), PyUnicode_READ_CHAR(sep.ptr(), 0), index);
    object parts = call_method(s, k_split, sep);
    return item(parts, index);
}

object segment(handle s, handle sep, handle index) {
    if (PyLong_CheckExact(index.ptr())) {
        Py_ssize_t i = PyLong_AsSsize_t(index.ptr());
        if (i == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_pending();
            PyErr_Clear();  // out of any list's range: let the list say so
        } else {
            return segment(s, sep, i);
        }
    }
    object parts = call_method(s, k_split, sep);
    return item(parts, index);
}

// ---------------------------------------------------------------- calls

object call_kw(handle f, std::initializer_list<handle> positional,
               std::initializer_list<Keyword> keywords) {
    const std::size_t n = positional.size() + keywords.size();
    std::unique_ptr<PyObject*[]> argv(new PyObject*[n + 1]);
    object names = checked(PyTuple_New(Py_ssize_t(keywords.size())));
    std::size_t i = 1;
    for (handle h : positional) argv[i++] = h.ptr();
    Py_ssize_t k = 0;
    for (const Keyword& kw : keywords) {
        argv[i++] = kw.value.ptr();
        PyTuple_SET_ITEM(names.ptr(), k++, new_ref(kw.name.ptr()));
    }
    return checked(PyObject_Vectorcall(f.ptr(), argv.get() + 1,
                                       positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       names.ptr()));
}

// ---------------------------------------------------------------- iteration

std::pair<object, object> unpack2(handle pair) {
    PyObject* p = pair.ptr();
    if (PyTuple_CheckExact(p) && PyTuple_GET_SIZE(p) == 2)
        return {borrow(PyTuple_GET_ITEM(p, 0)), borrow(PyTuple_GET_ITEM(p, 1))};
    PyObject* it = PyObject_GetIter(p);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(p)->tp_iter && !PySequence_Check(p)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(p)->tp_name);
        }
        raise_pending();
    }
    object iterator = steal(it);
    object first = next_or_null(iterator);
    if (!first) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 0)");
    object second = next_or_null(iterator);
    if (!second) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
    if (next_or_null(iterator)) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {std::move(first), std::move(second)};
}

object next_or_null(handle iterator) {
    if (!PyIter_Check(iterator.ptr())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator",
                     Py_TYPE(iterator.ptr())->tp_name);
        raise_pending();
    }
    PyObject* v = PyIter_Next(iterator.ptr());
    if (!v && PyErr_Occurred()) raise_pending();
    return steal(v);
}

}  // namespace pg
