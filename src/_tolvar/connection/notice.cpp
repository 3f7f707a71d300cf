// Notices and notifications: collected while libpq runs, delivered to the
// connection's `notices` and `notifies` with the interpreter held. Also the
// Notify type.
#include "connection/connection.hpp"

using tv::ref;

namespace {

constexpr Py_ssize_t max_notices = 50;

struct notifyObject {
    PyObject_HEAD
    PyObject* pid;
    PyObject* channel;
    PyObject* payload;
};

PyObject* append_name()
{
    static PyObject* name = nullptr;
    if (!name) name = PyUnicode_InternFromString("append");
    return name;
}

}  // namespace

void conn_notice_callback(void* arg, const char* message)
{
    // Runs inside libpq calls, possibly without the interpreter: plain C only.
    auto* conn = static_cast<connectionObject*>(arg);
    auto* node = static_cast<conn_notice*>(std::malloc(sizeof(conn_notice)));
    if (!node) return;
    node->message = strdup(message);
    if (!node->message) { std::free(node); return; }
    node->next = nullptr;
    if (conn->last_notice) conn->last_notice->next = node;
    else conn->notice_pending = node;
    conn->last_notice = node;
}

void conn_notice_discard(connectionObject* conn)
{
    conn_notice* n = conn->notice_pending;
    while (n) {
        conn_notice* next = n->next;
        std::free(n->message);
        std::free(n);
        n = next;
    }
    conn->notice_pending = conn->last_notice = nullptr;
}

void conn_notice_process(connectionObject* conn)
{
    if (!conn->notice_pending) return;
    PyObject* append = append_name();
    if (!append) { PyErr_Clear(); conn_notice_discard(conn); return; }

    for (conn_notice* n = conn->notice_pending; n; n = n->next) {
        ref msg = ref::steal(conn_decode_message(conn, n->message));
        ref rv = msg ? ref::steal(PyObject_CallMethodOneArg(conn->notices, append, msg.get()))
                     : ref();
        if (!rv) {
            // A failing notices object must never fail the command itself.
            PyErr_Clear();
            conn_notice_discard(conn);
            return;
        }
    }
    if (PyList_Check(conn->notices)) {
        Py_ssize_t len = PyList_GET_SIZE(conn->notices);
        if (len > max_notices && PyList_SetSlice(conn->notices, 0, len - max_notices, nullptr) < 0)
            PyErr_Clear();
    }
    conn_notice_discard(conn);
}

void conn_notifies_process(connectionObject* conn)
{
    PyObject* append = append_name();
    if (!append) { PyErr_Clear(); return; }
    if (!conn->pgconn) return;
    while (PGnotify* raw = PQnotifies(conn->pgconn)) {
        std::unique_ptr<PGnotify, tv::pqmem_deleter> pgn(raw);
        ref pid = ref::steal(PyLong_FromLong(pgn->be_pid));
        ref channel = ref::steal(conn_decode_message(conn, pgn->relname));
        ref payload = ref::steal(conn_decode_message(conn, pgn->extra));
        if (!pid || !channel || !payload) { PyErr_Clear(); return; }
        ref notify = ref::steal(PyObject_CallFunctionObjArgs(
            reinterpret_cast<PyObject*>(&notifyType), pid.get(), channel.get(), payload.get(),
            nullptr));
        if (!notify) { PyErr_Clear(); return; }
        ref rv = ref::steal(PyObject_CallMethodOneArg(conn->notifies, append, notify.get()));
        if (!rv) { PyErr_Clear(); return; }
    }
}

namespace {

int notify_init(PyObject* o, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"pid", "channel", "payload", nullptr};
    PyObject *pid = nullptr, *channel = nullptr, *payload = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O", const_cast<char**>(kwlist), &pid,
                                     &channel, &payload))
        return -1;
    ref pl = payload ? ref::borrow(payload) : ref::steal(PyUnicode_FromString(""));
    if (!pl) return -1;
    auto* self = reinterpret_cast<notifyObject*>(o);
    tv::set_slot(self->pid, Py_NewRef(pid));
    tv::set_slot(self->channel, Py_NewRef(channel));
    tv::set_slot(self->payload, pl.release());
    return 0;
}

void notify_dealloc(PyObject* o)
{
    auto* self = reinterpret_cast<notifyObject*>(o);
    Py_CLEAR(self->pid);
    Py_CLEAR(self->channel);
    Py_CLEAR(self->payload);
    Py_TYPE(o)->tp_free(o);
}

PyObject* notify_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

PyObject* notify_as_tuple(notifyObject* self, bool with_payload)
{
    PyObject* pid = self->pid ? self->pid : Py_None;
    PyObject* ch = self->channel ? self->channel : Py_None;
    PyObject* pl = self->payload ? self->payload : Py_None;
    return with_payload ? PyTuple_Pack(3, pid, ch, pl) : PyTuple_Pack(2, pid, ch);
}

PyObject* notify_richcompare(PyObject* o, PyObject* other, int op)
{
    auto* self = reinterpret_cast<notifyObject*>(o);
    if (Py_TYPE(other) == &notifyType) {
        ref a = ref::steal(notify_as_tuple(self, true));
        ref b = ref::steal(notify_as_tuple(reinterpret_cast<notifyObject*>(other), true));
        if (!a || !b) return nullptr;
        return PyObject_RichCompare(a.get(), b.get(), op);
    }
    if (PyTuple_Check(other)) {
        ref a = ref::steal(notify_as_tuple(self, false));
        if (!a) return nullptr;
        return PyObject_RichCompare(a.get(), other, op);
    }
    Py_RETURN_FALSE;
}

Py_hash_t notify_hash(PyObject* o)
{
    auto* self = reinterpret_cast<notifyObject*>(o);
    int truth = self->payload ? PyObject_IsTrue(self->payload) : 0;
    if (truth < 0) { PyErr_Clear(); truth = 1; }
    ref t = ref::steal(notify_as_tuple(self, truth != 0));
    if (!t) return -1;
    return PyObject_Hash(t.get());
}

PyObject* notify_repr(PyObject* o)
{
    auto* self = reinterpret_cast<notifyObject*>(o);
    return PyUnicode_FromFormat("Notify(%R, %R, %R)", self->pid ? self->pid : Py_None,
                                self->channel ? self->channel : Py_None,
                                self->payload ? self->payload : Py_None);
}

Py_ssize_t notify_len(PyObject*) { return 2; }

PyObject* notify_item(PyObject* o, Py_ssize_t i)
{
    auto* self = reinterpret_cast<notifyObject*>(o);
    if (i < 0) i += 2;
    PyObject* v = i == 0 ? self->pid : i == 1 ? self->channel : nullptr;
    if (i != 0 && i != 1) {
        PyErr_SetString(PyExc_IndexError, "index out of range");
        return nullptr;
    }
    return Py_NewRef(v ? v : Py_None);
}

PyMemberDef notify_members[] = {
    {"pid", T_OBJECT, offsetof(notifyObject, pid), READONLY,
     "The ID of the backend process that sent the notification."},
    {"channel", T_OBJECT, offsetof(notifyObject, channel), READONLY,
     "The name of the channel to which the notification was sent."},
    {"payload", T_OBJECT, offsetof(notifyObject, payload), READONLY,
     "The payload message of the notification."},
    {nullptr, 0, 0, 0, nullptr},
};

PySequenceMethods notify_sequence = {
    .sq_length = notify_len,
    .sq_item = notify_item,
};

}  // namespace

PyTypeObject notifyType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.Notify",
    .tp_basicsize = sizeof(notifyObject),
    .tp_dealloc = notify_dealloc,
    .tp_repr = notify_repr,
    .tp_as_sequence = &notify_sequence,
    .tp_hash = notify_hash,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "A notification received from the backend.\n\n"
              "For backward compatibility the object can also be used as the 2-items\n"
              "tuple (pid, channel).",
    .tp_richcompare = notify_richcompare,
    .tp_members = notify_members,
    .tp_init = notify_init,
    .tp_new = notify_new,
};
