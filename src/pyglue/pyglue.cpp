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

handle RecordModel::model() const {
    if (!model_) {
        object model = new_dict();
        for (std::size_t i = 0; i < size_; ++i) set_item(model, *keys_[i], Py_None);
        // Making it may have run a finalizer and another thread that made one:
        // the first stored is the one kept.
        if (!model_) model_ = model.release().ptr();
    }
    return model_;
}

object RecordModel::blank() const {
    if (!pg_text_dicts_read()) return new_dict();
    return checked(PyDict_Copy(model().ptr()));
}

bool RecordModel::fill(handle record, PyObject* const* values) const {
    return pg_fill_copy(record.ptr(), values, Py_ssize_t(size_)) != 0;
}

void RecordModel::set_each(handle record, PyObject* const* values) const {
    for (std::size_t i = 0; i < size_; ++i) set_item(record, *keys_[i], values[i]);
}

object RecordModel::make(std::initializer_list<handle> values) const {
    PyObject* v[max_keys];
    std::size_t i = 0;
    for (handle h : values) v[i++] = h.ptr();
    object record = blank();
    if (!fill(record, v)) {
        PyDict_Clear(record.ptr());  // a new dictionary's state, each key then set in turn
        set_each(record, v);
    }
    return record;
}

object tuple(std::initializer_list<handle> items) {
    object t = checked(PyTuple_New(Py_ssize_t(items.size())));
    Py_ssize_t i = 0;
    for (handle h : items) PyTuple_SET_ITEM(t.ptr(), i++, new_ref(h.ptr()));
    return t;
}

void append(handle list, handle item) { check(PyList_Append(list.ptr(), item.ptr())); }

namespace {
Text k_append{"append"};
}  // namespace

void call_append(handle o, handle item) {
    if (PyList_CheckExact(o.ptr())) return append(o, item);
    call_method(o, k_append, item);
}

object item(handle o, Py_ssize_t index) {
    // An exact list or tuple is indexed in place, as the interpreter does.
    PyObject* p = o.ptr();
    if (PyList_CheckExact(p) || PyTuple_CheckExact(p)) {
        Py_ssize_t n = Py_SIZE(p);
        if (index < 0) index += n;
        if (index < 0 || index >= n)
            raise(PyExc_IndexError, PyList_CheckExact(p) ? "list index out of range"
                                                         : "tuple index out of range");
        return borrow(PyList_CheckExact(p) ? PyList_GET_ITEM(p, index) : PyTuple_GET_ITEM(p, index));
    }
    object key = checked(PyLong_FromSsize_t(index));
    return item(o, key);
}

object item_or_null(handle o, handle key) {
    bool fast;
    if (PyObject* v = detail::str_key_lookup(o, key, &fast)) return borrow(v);
    if (fast) return object();
    PyObject* v = PyObject_GetItem(o.ptr(), key.ptr());
    if (v) return steal(v);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise_pending();
    PyErr_Clear();
    return object();
}

// ---------------------------------------------------------------- comparison

namespace {
// Value equality of two str, as str.__eq__ tests it.
bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), std::size_t(n) * PyUnicode_KIND(a)) == 0;
}
}  // namespace

bool compare(handle a, handle b, int op) {
    // Two exact str compare equal by value, as str.__eq__ decides.
    if ((op == Py_EQ || op == Py_NE) && PyUnicode_CheckExact(a.ptr()) &&
        PyUnicode_CheckExact(b.ptr())) {
        return same_text(a.ptr(), b.ptr()) == (op == Py_EQ);
    }
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

object add(std::initializer_list<handle> pieces) {
    bool texts = true;
    for (handle piece : pieces) texts = texts && PyUnicode_CheckExact(piece.ptr());
    if (texts) return cat(pieces);
    const handle* at = pieces.begin();
    object sum = borrow(*at);
    while (++at != pieces.end()) sum = checked(PyNumber_Add(sum.ptr(), at->ptr()));
    return sum;
}

namespace {
Text k_split{"split"};
Text k_replace{"replace"};
Text k_join{"join"};

// PyUnicode_FindChar, with a one-byte text searched in place (ids are ASCII).
Py_ssize_t find_char(PyObject* s, Py_UCS4 sep, Py_ssize_t start, Py_ssize_t end, int direction) {
    if (PyUnicode_KIND(s) != PyUnicode_1BYTE_KIND || sep > 0xff || start >= end)
        return PyUnicode_FindChar(s, sep, start, end, direction);
    const char* data = static_cast<const char*>(PyUnicode_DATA(s));
    const void* at = direction > 0 ? std::memchr(data + start, int(sep), std::size_t(end - start))
                                   : memrchr(data + start, int(sep), std::size_t(end - start));
    return at ? static_cast<const char*>(at) - data : -1;
}

// One segment of an exact str split at a one-character separator.
object exact_segment(PyObject* s, Py_UCS4 sep, Py_ssize_t index) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    Py_ssize_t start = 0, end = len;
    if (index >= 0) {
        for (Py_ssize_t k = 0; k < index; ++k) {
            Py_ssize_t f = find_char(s, sep, start, len, 1);
            if (f == -2) raise_pending();
            if (f < 0) raise(PyExc_IndexError, "list index out of range");
            start = f + 1;
        }
        Py_ssize_t f = find_char(s, sep, start, len, 1);
        if (f == -2) raise_pending();
        end = f < 0 ? len : f;
    } else {
        // Counted down from -1 so that the most negative index needs no negation.
        for (Py_ssize_t k = -1; k > index; --k) {
            Py_ssize_t f = find_char(s, sep, 0, end, -1);
            if (f == -2) raise_pending();
            if (f < 0) raise(PyExc_IndexError, "list index out of range");
            end = f;
        }
        Py_ssize_t f = find_char(s, sep, 0, end, -1);
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
    return item(split(s, sep), index);
}

object replace(handle s, handle old, handle new_) {
    if (PyUnicode_CheckExact(s.ptr()) && PyUnicode_Check(old.ptr()) && PyUnicode_Check(new_.ptr()))
        return checked(PyUnicode_Replace(s.ptr(), old.ptr(), new_.ptr(), -1));
    return call_method(s, k_replace, old, new_);
}

object split(handle s, handle sep) {
    if (PyUnicode_CheckExact(s.ptr()) && PyUnicode_Check(sep.ptr()))
        return checked(PyUnicode_Split(s.ptr(), sep.ptr(), -1));
    return call_method(s, k_split, sep);
}

object join(handle sep, handle items) {
    if (PyUnicode_CheckExact(sep.ptr())) return checked(PyUnicode_Join(sep.ptr(), items.ptr()));
    return call_method(sep, k_join, items);
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
    object both[2];
    unpack(pair, both, 2);
    return {std::move(both[0]), std::move(both[1])};
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

// ---------------------------------------------------------------- unpacking of n values

void unpack(handle values, object* targets, Py_ssize_t n) {
    PyObject* p = values.ptr();
    if ((PyTuple_CheckExact(p) || PyList_CheckExact(p)) && Py_SIZE(p) == n) {
        PyObject** items = PySequence_Fast_ITEMS(p);
        for (Py_ssize_t i = 0; i < n; ++i) targets[i] = borrow(items[i]);
        return;
    }
    PyObject* it = PyObject_GetIter(p);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(p)->tp_iter && !PySequence_Check(p)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(p)->tp_name);
        }
        raise_pending();
    }
    object iterator = steal(it);
    for (Py_ssize_t i = 0; i < n; ++i) {
        targets[i] = next_or_null(iterator);
        if (!targets[i]) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            raise_pending();
        }
    }
    if (next_or_null(iterator)) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        raise_pending();
    }
}

}  // namespace pg
