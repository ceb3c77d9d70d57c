// The JSON writer: the text of dump_json written in one pass.
//
// json.dumps with JSONDumper calls default() for every node, result, counter
// and datetime, then encodes each dictionary it returns. While everything
// that call goes through is still what the module set up at import (the
// pins below), the same text is written here directly, node mappings
// straight from their pairs. The writer gives up on anything it cannot
// match byte for byte: a value json cannot encode, a cycle, a property that
// raises, an odd key (see common/fallback.hpp).
#include "../common/calls.hpp"
#include "../common/format.hpp"
#include "../common/recursion.hpp"
#include "../common/text.hpp"
#include "documents.hpp"
#include "node.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace vexa::runsheaf {

namespace {

class Writer {
public:
    explicit Writer(const JsonStock &stock) : s_(stock) {
        VEXA_IMPORT_DATETIME();
        // An exact datetime has a fixed class and __class__, so while the
        // earlier rules' classes have no metaclass of their own, whether it
        // is an instance of them is a matter of its class's bases alone.
        PyTypeObject *dt = PyDateTimeAPI->DateTimeType;
        datetime_rule_ = true;
        for (Pins::Id rule : {s_.report_object_base, s_.test_result, s_.result_counter}) {
            PyObject *cls = pinned(rule);
            if (!PyType_CheckExact(cls) || PyType_IsSubtype(dt, reinterpret_cast<PyTypeObject *>(cls)))
                datetime_rule_ = false;
        }
        PyObject *datetime_cls = pinned(s_.datetime);
        if (!PyType_CheckExact(datetime_cls) ||
            !PyType_IsSubtype(dt, reinterpret_cast<PyTypeObject *>(datetime_cls)))
            datetime_rule_ = false;
    }
    ~Writer() {
        Py_XDECREF(zone_);
        for (Name &name : names_)
            Py_XDECREF(name.name);
    }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Mirrors the type tests of json's encoder, in its order.
    void value(PyObject *o) {
        if (o == Py_None)
            put("null");
        else if (o == Py_True)
            put("true");
        else if (o == Py_False)
            put("false");
        else if (PyUnicode_Check(o))
            string(o);
        else if (PyLong_Check(o))
            integer(o);
        else if (PyFloat_Check(o))
            real(o);
        else if (PyList_Check(o) || PyTuple_Check(o))
            array(o);
        else if (PyDict_Check(o))
            dict(o);
        else
            by_default(o);
    }

    // The text written, which the writer lets go of.
    nb::object text() { return out_.ascii_str(); }

private:
    // One level of nesting is counted where json's encoder counts one:
    // each list or dict, and each value handed to default().
    static constexpr const char *nesting = " while encoding a JSON object";

    PyObject *pinned(Pins::Id id) const { return s_.pins[id].ptr(); }

    char *room(size_t n) { return out_.room(n); }

    void put(char c) { out_.put(c); }
    void put(const char *s, size_t n) { out_.put(s, n); }
    template <size_t N>
    void put(const char (&s)[N]) { out_.put(s); }

    // Text that is ASCII already, such as int.__repr__ gives.
    void ascii(nb::handle s) {
        Py_ssize_t n;
        const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
        check(p != nullptr);
        put(p, static_cast<size_t>(n));
    }

    void string(PyObject *s) {
        put('"');
        escaped(s);
        put('"');
    }

    void escaped(PyObject *s) {
        visit_chars(s, [&](auto units, Py_ssize_t n) { chars(units, n); });
    }

    // ensure_ascii: printable ASCII stays, everything else is escaped.
    static bool plain(uint32_t c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; }

    template <typename Char>
    void chars(const Char *s, Py_ssize_t n) {
        Py_ssize_t i = 0;
        while (i < n) {
            Py_ssize_t end = i;
            while (end < n && plain(s[end]))
                ++end;
            if (end > i) {
                out_.put_ascii(s + i, end - i);
                i = end;
            }
            if (i < n)
                escape(s[i++]);
        }
    }

    void escape(uint32_t c) {
        char e = 0;
        switch (c) {
        case '"': e = '"'; break;
        case '\\': e = '\\'; break;
        case '\b': e = 'b'; break;
        case '\f': e = 'f'; break;
        case '\n': e = 'n'; break;
        case '\r': e = 'r'; break;
        case '\t': e = 't'; break;
        }
        if (e) {
            char *d = room(2);
            d[0] = '\\';
            d[1] = e;
            out_.advance(2);
        } else if (c >= 0x10000) {
            c -= 0x10000;
            unit(0xd800 | (c >> 10));
            unit(0xdc00 | (c & 0x3ff));
        } else {
            unit(c);  // lone surrogates included, as json writes them
        }
    }

    void unit(uint32_t u) {
        static const char hex[] = "0123456789abcdef";
        char *d = room(6);
        d[0] = '\\';
        d[1] = 'u';
        d[2] = hex[(u >> 12) & 15];
        d[3] = hex[(u >> 8) & 15];
        d[4] = hex[(u >> 4) & 15];
        d[5] = hex[u & 15];
        out_.advance(6);
    }

    // int.__repr__, also for subclasses
    void integer(PyObject *o) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow) {
            ascii(steal_checked(PyLong_Type.tp_repr(o)));
            return;
        }
        if (v == -1 && PyErr_Occurred())
            throw nb::python_error();
        char *d = room(24);
        out_.advance(static_cast<size_t>(format_int(d, v) - d));
    }

    // float.__repr__, also for subclasses; json's names for the non-finite
    void real(PyObject *o) {
        double v = PyFloat_AS_DOUBLE(o);
        if (!std::isfinite(v)) {
            if (v > 0)
                put("Infinity");
            else if (v < 0)
                put("-Infinity");
            else
                put("NaN");
            return;
        }
        char *d = room(32);
        out_.advance(static_cast<size_t>(format_float(d, v) - d));
    }

    void array(PyObject *o) {
        RecursionScope level(depth_, nesting, RecursionScope::no_ceiling);
        // Subclasses are read through their iterator, as json reads them.
        nb::object seq = PyList_CheckExact(o) || PyTuple_CheckExact(o)
                             ? nb::borrow(o)
                             : steal_checked(PySequence_Fast(o, ""));
        if (PySequence_Fast_GET_SIZE(seq.ptr()) == 0) {
            put("[]");
            return;
        }
        put('[');
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
            if (i)
                put(", ");
            // held: writing an item may run code that changes the list
            nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i));
            value(item.ptr());
        }
        put(']');
    }

    void dict(PyObject *o) {
        RecursionScope level(depth_, nesting, RecursionScope::no_ceiling);
        // json looks at the dict's own size even when items() says otherwise
        if (PyDict_GET_SIZE(o) == 0) {
            put("{}");
            return;
        }
        put('{');
#if PY_VERSION_HEX >= 0x030C0000
        // Since 3.12 json walks an exact dict live rather than a snapshot.
        if (PyDict_CheckExact(o)) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            bool first = true;
            while (PyDict_Next(o, &pos, &k, &v)) {
                nb::object key = nb::borrow(k), item = nb::borrow(v);
                if (!first)
                    put(", ");
                first = false;
                pair(key.ptr(), item.ptr());
            }
            put('}');
            return;
        }
#endif
        // items() may hand out a list that code run while writing changes
        // or frees: walked as json's iterator walks it, each pair held.
        nb::object items = steal_checked(PyMapping_Items(o));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
            if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
                throw GiveUp();  // json raises ValueError
            if (i)
                put(", ");
            pair(PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1));
        }
        put('}');
    }

    void pair(PyObject *k, PyObject *v) {
        if (PyUnicode_Check(k)) {
            string(k);
        } else if (PyFloat_Check(k)) {
            put('"');
            real(k);
            put('"');
        } else if (k == Py_True) {
            put("\"true\"");
        } else if (k == Py_False) {
            put("\"false\"");
        } else if (k == Py_None) {
            put("\"null\"");
        } else if (PyLong_Check(k)) {
            put('"');
            integer(k);
            put('"');
        } else {
            throw GiveUp();  // json raises TypeError
        }
        put(": ");
        value(v);
    }

    // The rules of JSONDumper.default, in its order.
    void by_default(PyObject *o) {
        RecursionScope level(depth_, nesting, RecursionScope::no_ceiling);
        if (datetime_rule_ && PyDateTime_CheckExact(o))
            datetime(o);
        else if (is_instance(o, pinned(s_.report_object_base)))
            node(o);
        else if (is_instance(o, pinned(s_.test_result)))
            result(o);
        else if (is_instance(o, pinned(s_.result_counter)))
            counter(o);
        else if (is_instance(o, pinned(s_.datetime)))
            PyDateTime_CheckExact(o) ? datetime(o) : text_of(steal_checked(PyObject_Str(o)));
        else if (PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(PyExc_Exception)))
            text_of(steal_checked(PyObject_Repr(o)));
        else
            throw GiveUp();  // the base default() raises TypeError
    }

    // A string default() returned; an empty one makes it raise instead.
    void text_of(nb::handle s) {
        if (!truthy(s))
            throw GiveUp();
        string(s.ptr());
    }

    // The node mapping, pair by pair, without the dictionary: the rule of
    // for_each_node_pair, except that fullid and idlist may be derived.
    void node(PyObject *o) {
        RecursionScope level(depth_, nesting, RecursionScope::no_ceiling);
        nb::object value_ignore = global(N.VALUE_IGNORE);
        // The usual VALUE_IGNORE never holds a derived fullid (a str) or
        // idlist (a list that is not empty).
        bool derivable = usual_value_ignore(value_ignore);
        size_t first = key_hashes_.size();
        lineage_.push_back({o, chain_.size()});
        put('{');
        for_each(get_attr(o, N._ARG_ORDER), [&](nb::handle name) {
            PyObject *n = name.ptr();
            bool id_name = n == N.fullid || n == N.idlist;
            if (id_name && derivable && derive(n, first))
                return;
            nb::object v = get_optional_attr(o, n);
            if (!v.is_valid() || ignorable(v, value_ignore))
                return;
            key(n, first);
            size_t at = out_.size();
            value(v.ptr());
            if (id_name)
                keep(n, v, at);
        });
        if (key_hashes_.size() == first)
            throw GiveUp();  // an empty mapping: default() raises TypeError
        key_hashes_.resize(first);
        chain_.resize(lineage_.back().chain_at);
        lineage_.pop_back();
        put('}');
    }

    // Writes the separator and '"name": ' of a node's pair.
    void key(PyObject *name, size_t first) {
        if (!PyUnicode_CheckExact(name))
            throw GiveUp();
        Name &known = names_[(reinterpret_cast<uintptr_t>(name) >> 4) % std::size(names_)];
        Py_hash_t hash = known.name == name ? known.hash : PyObject_Hash(name);
        check(hash != -1);
        // A name given twice is one key of the dictionary.
        for (size_t i = first; i < key_hashes_.size(); ++i)
            if (key_hashes_[i] == hash)
                throw GiveUp();
        if (key_hashes_.size() > first)
            put(", ");
        key_hashes_.push_back(hash);
        if (known.name == name)
            put(known.text, known.size);
        else
            remember(known, name, hash);
    }

    // fullid and idlist of a node below another are the parent's with the
    // node's own id added. Written from the text kept for the parent, they
    // spare walking the _parent chain twice for every node.
    struct Lineage {
        PyObject *node;   // borrowed: alive while it is written
        size_t chain_at;  // where its texts start in chain_
        int own_ids = -1;  // its class has the module's fullid and idlist
        int below = -1;    // its _parent is the node written around it, not a top node
        size_t fullid_at = npos, fullid_size = 0;  // str(fullid), escaped
        size_t idlist_at = npos, idlist_size = 0;  // the idlist text but its ']'
    };
    static constexpr size_t npos = size_t(-1);

    bool own_ids(Lineage &l) {
        if (l.own_ids < 0) {
            PyTypeObject *cls = Py_TYPE(l.node);
            auto is = [&](PyObject *name, PyObject *property) {
                nb::object attr = get_optional_attr(nb::handle(reinterpret_cast<PyObject *>(cls)), name);
                return attr.ptr() == property;
            };
            l.own_ids = Py_IS_TYPE(cls, &PyType_Type) && cls->tp_getattro == PyObject_GenericGetAttr &&
                        is(N.fullid, s_.fullid_property.ptr()) && is(N.idlist, s_.idlist_property.ptr());
        }
        return l.own_ids;
    }

    // Writes the pair of fullid or idlist from the parent's text; false when
    // the property must be read instead.
    bool derive(PyObject *name, size_t first) {
        size_t depth = lineage_.size();
        if (depth < 2)
            return false;
        const Lineage &parent = lineage_[depth - 2];
        bool fullid = name == N.fullid;
        if ((fullid ? parent.fullid_at : parent.idlist_at) == npos || !own_ids(lineage_.back()))
            return false;
        if (lineage_.back().below < 0) {
            nb::object up = get_optional_attr(lineage_.back().node, N._parent);
            lineage_.back().below = up.is_valid() && up.ptr() == parent.node &&
                                    !is_top(up, global(N.Runsheaf));
        }
        if (!lineage_.back().below)
            return false;
        nb::object id = get_attr(lineage_.back().node, N.id);
        key(name, first);
        size_t at;
        if (fullid) {
            nb::object text = steal_checked(PyObject_Str(id.ptr()));
            put('"');
            at = out_.size();
            put(chain_.data() + parent.fullid_at, parent.fullid_size);
            put('.');
            escaped(text.ptr());
            record(lineage_[depth - 1].fullid_at, lineage_[depth - 1].fullid_size, at);
            put('"');
        } else {
            at = out_.size();
            put(chain_.data() + parent.idlist_at, parent.idlist_size);
            put(", ");
            value(id.ptr());  // may write nodes, which grow lineage_ and chain_
            record(lineage_[depth - 1].idlist_at, lineage_[depth - 1].idlist_size, at);
            put(']');
        }
        return true;
    }

    // Keeps what a node's children need of the fullid or idlist just written
    // from `at` on, read from the module's own property.
    void keep(PyObject *name, nb::handle v, size_t at) {
        Lineage &self = lineage_.back();
        if (!own_ids(self))
            return;
        if (name == N.idlist) {
            if (PyList_CheckExact(v.ptr()) && PyList_GET_SIZE(v.ptr()) > 0)
                record(self.idlist_at, self.idlist_size, at, out_.size() - 1);
            return;
        }
        nb::object text = steal_checked(PyObject_Str(v.ptr()));
        size_t end = out_.size();
        escaped(text.ptr());  // written only to be kept
        record(self.fullid_at, self.fullid_size, end);
        out_.truncate(end);
    }

    void record(size_t &at, size_t &size, size_t from, size_t to = npos) {
        if (to == npos)
            to = out_.size();
        at = chain_.size();
        size = to - from;
        chain_.append(out_.data() + from, size);
    }

    // The names of node classes are few and met again in every node: their
    // text '"name": ' is kept by name object for the rest of the dump.
    struct Name {
        PyObject *name = nullptr;  // owned
        Py_hash_t hash = 0;
        size_t size = 0;
        char text[40];
    };

    void remember(Name &slot, PyObject *key, Py_hash_t hash) {
        size_t start = out_.size();
        string(key);
        put(": ");
        if (out_.size() - start > sizeof slot.text)
            return;
        Py_XSETREF(slot.name, Py_NewRef(key));
        slot.hash = hash;
        slot.size = out_.size() - start;
        std::memcpy(slot.text, out_.data() + start, slot.size);
    }

    void result(PyObject *o) {
        RecursionScope level(depth_, nesting, RecursionScope::no_ceiling);
        nb::object outcome = get_attr(o, N.value);
        nb::object reason = get_attr(o, N.reason);
        bool with_reason = truthy(reason);
        nb::object data = get_attr(o, N.data);
        bool with_data = truthy(data);
        put("{\"value\": ");
        value(outcome.ptr());
        if (with_reason) {
            put(", \"reason\": ");
            value(reason.ptr());
        }
        if (with_data) {
            put(", \"data\": ");
            value(data.ptr());
        }
        put('}');
    }

    void counter(PyObject *o) {
        nb::object data = get_attr(o, N.data);
        nb::object mapping = PyDict_CheckExact(data.ptr())
                                 ? steal_checked(PyDict_Copy(data.ptr()))
                                 : call_method(data, N.copy);
        set_item(mapping, nb::handle(N.total), get_attr(o, N.total));
        set_item(mapping, nb::handle(N.success_rate), get_attr(o, N.success_rate));
        if (!truthy(mapping))
            throw GiveUp();
        value(mapping.ptr());
    }

    // str() of an exact datetime: "YYYY-MM-DD HH:MM:SS[.ffffff][+HH:MM[:SS[.ffffff]]]"
    void datetime(PyObject *o) {
        char text[64];
        char *p = format_datetime(text, o);
        PyObject *tz = PyDateTime_DATE_GET_TZINFO(o);
        if (tz == zone_) {
            std::memcpy(p, zone_text_, zone_size_);
            p += zone_size_;
        } else if (tz != Py_None) {
            char *start = p;
            p = utc_offset(p, tz, o);
            // A datetime.timezone has one offset for every datetime.
            if (Py_IS_TYPE(tz, Py_TYPE(PyDateTime_TimeZone_UTC))) {
                Py_XSETREF(zone_, Py_NewRef(tz));
                zone_size_ = static_cast<size_t>(p - start);
                std::memcpy(zone_text_, start, zone_size_);
            }
        }
        put('"');
        put(text, static_cast<size_t>(p - text));
        put('"');
    }

    static char *utc_offset(char *p, PyObject *tz, PyObject *dt) {
        nb::object offset = steal_checked(PyObject_CallMethodOneArg(tz, N.utcoffset, dt));
        if (offset.is_none())
            return p;
        if (!PyDelta_Check(offset.ptr()))
            throw GiveUp();  // str() raises TypeError
        p = format_utc_offset(p, offset.ptr());
        if (!p)
            throw GiveUp();  // str() raises ValueError
        return p;
    }

    const JsonStock &s_;
    TextOut out_{size_t(1) << 16};
    RecursionDepth depth_;
    bool datetime_rule_;  // exact datetimes go straight to the datetime rule
    std::vector<Py_hash_t> key_hashes_;  // names of the nodes being written
    Name names_[64];
    std::vector<Lineage> lineage_;  // the nodes being written, innermost last
    std::string chain_;             // their texts for fullid and idlist
    PyObject *zone_ = nullptr;  // owned: the last datetime.timezone met
    char zone_text_[24];
    size_t zone_size_ = 0;
};

// The text json.dumps(document, cls=JSONDumper) gives, or a null object when

}  // namespace

// The objects json.dumps(document, cls=JSONDumper) goes through, and where
// each is found at call time.
void pin_json() {
    auto s = std::make_unique<JsonStock>(state->scope);
    Pins &pins = s->pins;
    Pins::Id json = pins.global(N.json);
    Pins::Id dumper = pins.global(N.JSONDumper);
    s->report_object_base = pins.global(N.ReportObjectBase);
    s->test_result = pins.global(N.TestResult);
    s->result_counter = pins.global(N.ResultCounter);
    s->datetime = pins.global(N.datetime);
    pins.attr(json, N.dumps);
    // what JSONEncoder.iterencode builds the C encoder from
    Pins::Id encoder = pins.fixed(nb::module_::import_("json.encoder"));
    pins.attr(encoder, N.c_make_encoder);
    pins.attr(encoder, N.encode_basestring_ascii);
    for (PyObject *name : {N.mro, N.new_, N.init, N.encode, N.iterencode, N.default_,
                           N.item_separator, N.key_separator})
        pins.attr(dumper, name);
    nb::handle base = pins[s->report_object_base];
    s->fullid_property = get_attr(base, N.fullid);
    s->idlist_property = get_attr(base, N.idlist);
    state->json = std::move(s);
}

// The text json.dumps(document, cls=JSONDumper) gives, or an invalid object
// when the writer cannot promise it.
nb::object fast_json_text(nb::handle document) {
    const JsonStock *stock = state->json.get();
    if (!stock || !stock->pins.holds())
        return nb::object();
    nb::object text;
    if (!fast_path([&] {
            Writer writer(*stock);
            writer.value(document.ptr());
            text = writer.text();
        }))
        return nb::object();
    return text;
}

}  // namespace vexa::runsheaf
