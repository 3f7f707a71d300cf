// PostgreSQL encoding names, their interpreter codecs, and the text
// conversions every connection goes through.
#include "connection/connection.hpp"

#include <iterator>

using tv::ref;

PyObject* tolvar_encodings = nullptr;

namespace {

struct encoding_row {
    const char* pgname;
    const char* codec;
};

// Inserted exactly as listed; lookups use the normalised spelling.
constexpr encoding_row encodings_table[] = {
    {"ABC", "cp1258"},
    {"ALT", "cp866"},
    {"BIG5", "big5"},
    {"EUC_CN", "euccn"},
    {"EUC_JIS_2004", "euc_jis_2004"},
    {"EUC_JP", "euc_jp"},
    {"EUC_KR", "euc_kr"},
    {"GB18030", "gb18030"},
    {"GBK", "gbk"},
    {"ISO_8859_1", "iso8859_1"},
    {"ISO_8859_2", "iso8859_2"},
    {"ISO_8859_3", "iso8859_3"},
    {"ISO_8859_5", "iso8859_5"},
    {"ISO_8859_6", "iso8859_6"},
    {"ISO_8859_7", "iso8859_7"},
    {"ISO_8859_8", "iso8859_8"},
    {"ISO_8859_9", "iso8859_9"},
    {"ISO_8859_10", "iso8859_10"},
    {"ISO_8859_13", "iso8859_13"},
    {"ISO_8859_14", "iso8859_14"},
    {"ISO_8859_15", "iso8859_15"},
    {"ISO_8859_16", "iso8859_16"},
    {"JOHAB", "johab"},
    {"KOI8", "koi8_r"},
    {"KOI8R", "koi8_r"},
    {"KOI8U", "koi8_u"},
    {"LATIN1", "iso8859_1"},
    {"LATIN2", "iso8859_2"},
    {"LATIN3", "iso8859_3"},
    {"LATIN4", "iso8859_4"},
    {"LATIN5", "iso8859_9"},
    {"LATIN6", "iso8859_10"},
    {"LATIN7", "iso8859_13"},
    {"LATIN8", "iso8859_14"},
    {"LATIN9", "iso8859_15"},
    {"LATIN10", "iso8859_16"},
    {"Mskanji", "cp932"},
    {"ShiftJIS", "cp932"},
    {"SHIFT_JIS_2004", "shift_jis_2004"},
    {"SJIS", "cp932"},
    {"SQL_ASCII", "ascii"},
    {"TCVN", "cp1258"},
    {"TCVN5712", "cp1258"},
    {"UHC", "cp949"},
    {"UNICODE", "utf_8"},
    {"UTF8", "utf_8"},
    {"VSCII", "cp1258"},
    {"WIN", "cp1251"},
    {"WIN866", "cp866"},
    {"WIN874", "cp874"},
    {"WIN932", "cp932"},
    {"WIN936", "gbk"},
    {"WIN949", "cp949"},
    {"WIN950", "cp950"},
    {"WIN1250", "cp1250"},
    {"WIN1251", "cp1251"},
    {"WIN1252", "cp1252"},
    {"WIN1253", "cp1253"},
    {"WIN1254", "cp1254"},
    {"WIN1255", "cp1255"},
    {"WIN1256", "cp1256"},
    {"WIN1257", "cp1257"},
    {"WIN1258", "cp1258"},
    {"Windows932", "cp932"},
    {"Windows936", "gbk"},
    {"Windows949", "cp949"},
    {"Windows950", "cp950"},
};
static_assert(std::size(encodings_table) == 67);

constexpr bool is_ascii_alnum(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Looks up the normalised name; a new reference to the codec name, or null
// with OperationalError set (the normalised name stays with the caller).
PyObject* lookup_codec(const char* normalised)
{
    PyObject* codec = tolvar_encodings
        ? PyDict_GetItemString(tolvar_encodings, normalised) : nullptr;
    if (!codec) {
        PyErr_Format(OperationalError, "no Python encoding for PostgreSQL encoding '%s'",
                     normalised);
        return nullptr;
    }
    return Py_NewRef(codec);
}

PyObject* decode_utf8_strict(const char* s, Py_ssize_t n, const char* errors)
{
    return PyUnicode_DecodeUTF8(s, n, errors);
}
PyObject* decode_latin1(const char* s, Py_ssize_t n, const char* errors)
{
    return PyUnicode_DecodeLatin1(s, n, errors);
}

void conn_set_fast_codec(connectionObject* conn)
{
    if (std::strcmp(conn->encoding, "UTF8") == 0) conn->fast_decoder = decode_utf8_strict;
    else if (std::strcmp(conn->encoding, "LATIN1") == 0) conn->fast_decoder = decode_latin1;
    else conn->fast_decoder = nullptr;
}

}  // namespace

int clear_encoding_name(const char* name, char** out)
{
    char* buf = static_cast<char*>(PyMem_RawMalloc(std::strlen(name) + 1));
    if (!buf) { PyErr_NoMemory(); return -1; }
    char* d = buf;
    for (const unsigned char* s = reinterpret_cast<const unsigned char*>(name); *s; ++s) {
        if (!is_ascii_alnum(*s)) continue;
        *d++ = static_cast<char>((*s >= 'a' && *s <= 'z') ? *s - 'a' + 'A' : *s);
    }
    *d = '\0';
    debug_trace("clear_encoding_name: %s -> %s\n", name, buf);
    *out = buf;
    return 0;
}

PyObject* codec_for_pg_encoding(const char* name, char** out)
{
    char* norm = nullptr;
    if (clear_encoding_name(name, &norm) < 0) return nullptr;
    PyObject* codec = lookup_codec(norm);
    if (codec && out) *out = norm;
    else PyMem_RawFree(norm);
    return codec;
}

int conn_apply_encoding(connectionObject* conn, const char* name)
{
    char* norm = nullptr;
    if (clear_encoding_name(name, &norm) < 0) return -1;
    std::unique_ptr<char, decltype(&PyMem_RawFree)> owned(norm, &PyMem_RawFree);
    ref codec = ref::steal(lookup_codec(norm));
    if (!codec) return -1;
    ref codec_bytes = ref::steal(as_utf8_bytes(codec.release()));
    if (!codec_bytes) return -1;
    const char* cname = PyBytes_AS_STRING(codec_bytes.get());
    ref encoder = ref::steal(PyCodec_Encoder(cname));
    if (!encoder) return -1;
    ref decoder = ref::steal(PyCodec_Decoder(cname));
    if (!decoder) return -1;

    PyMem_RawFree(conn->encoding);
    conn->encoding = owned.release();
    tv::set_slot(conn->codec_encoder, encoder.release());
    tv::set_slot(conn->codec_decoder, decoder.release());
    conn_set_fast_codec(conn);
    return 0;
}

PyObject* conn_encode_text(connectionObject* conn, PyObject* text)
{
    if (conn && conn->codec_encoder) {
        ref res = ref::steal(PyObject_CallOneArg(conn->codec_encoder, text));
        if (!res) return nullptr;
        return PySequence_GetItem(res.get(), 0);
    }
    return PyUnicode_AsUTF8String(text);
}

PyObject* conn_decode_text(connectionObject* conn, const char* text, Py_ssize_t len)
{
    if (len < 0) len = static_cast<Py_ssize_t>(std::strlen(text));
    if (conn && conn->fast_decoder) return conn->fast_decoder(text, len, nullptr);
    if (conn && conn->codec_decoder) {
        ref bytes = ref::steal(PyBytes_FromStringAndSize(text, len));
        if (!bytes) return nullptr;
        ref res = ref::steal(PyObject_CallOneArg(conn->codec_decoder, bytes.get()));
        if (!res) return nullptr;
        return PySequence_GetItem(res.get(), 0);
    }
    return PyUnicode_DecodeUTF8(text, len, nullptr);
}

PyObject* conn_decode_message(connectionObject* conn, const char* text)
{
    return chars_to_text(text, -1, conn ? conn->codec_decoder : nullptr);
}

int encodings_init(PyObject* module)
{
    if (tolvar_encodings) {
        debug_trace("encodings_init(): already called\n");
        return 0;
    }
    ref dict = ref::steal(PyDict_New());
    if (!dict) return -1;
    if (PyModule_AddObjectRef(module, "encodings", dict.get()) < 0) return -1;
    tolvar_encodings = dict.release();
    for (const auto& row : encodings_table) {
        ref value = ref::steal(PyUnicode_FromString(row.codec));
        if (!value || PyDict_SetItemString(tolvar_encodings, row.pgname, value.get()) < 0)
            return -1;
    }
    return 0;
}
